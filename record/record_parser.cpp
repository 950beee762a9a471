#include "record/record_parser.h"

#include <algorithm>

namespace tessary {
namespace {

constexpr std::string_view kHead = "set '#PFAD#";
constexpr std::string_view kNameMarker = "#DATEINAME#";
constexpr std::string_view kEnd = "@@ENDE@@' '";
constexpr std::string_view kQuit = "quit\r\n";
constexpr std::string_view kNoDigest = "nicht berechnet";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }
bool is_separator(char c) { return c == '/' || c == '\\'; }

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : kDays[month - 1];
}

// 0 for Sunday, proleptic Gregorian calendar (as the C library's ctime counts).
int weekday(int year, int month, int day) {
  static const int kOffset[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return (year + year / 4 - year / 100 + year / 400 + kOffset[month - 1] + day) % 7;
}

bool real_time(const CivilTime& t) {
  return t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= days_in_month(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
         t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

// A cursor over the record's bytes; every read checks the bounds.
struct Cursor {
  std::string_view text;
  std::size_t pos;

  bool literal(std::string_view word) {
    if (text.compare(pos, word.size(), word) != 0) return false;
    pos += word.size();
    return true;
  }
  // Exactly `count` digits.
  bool fixed(std::size_t count, int* value) {
    if (pos + count > text.size()) return false;
    int v = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!is_digit(text[pos + i])) return false;
      v = v * 10 + (text[pos + i] - '0');
    }
    *value = v;
    pos += count;
    return true;
  }
  // 1 to `most` digits, no leading zero unless the number is 0 itself, then no further digit.
  bool number(std::size_t most, unsigned long long* value) {
    std::size_t n = 0;
    unsigned long long v = 0;  // at most 19 digits: no overflow
    while (pos + n < text.size() && is_digit(text[pos + n])) {
      if (++n > most) return false;
      v = v * 10 + static_cast<unsigned>(text[pos + n - 1] - '0');
    }
    if (n == 0 || (n > 1 && text[pos] == '0')) return false;
    *value = v;
    pos += n;
    return true;
  }
  bool year(int* value) {
    unsigned long long v = 0;
    if (!number(4, &v) || v < 1) return false;
    *value = static_cast<int>(v);
    return true;
  }
  // "HH:MM:SS"
  bool clock(CivilTime* t) {
    return fixed(2, &t->hour) && literal(":") && fixed(2, &t->minute) && literal(":") && fixed(2, &t->second);
  }
};

// "Y-MM-DD HH:MM:SS", as strftime("%Y-%m-%d %H:%M:%S") writes it.
bool read_local_time(Cursor* c, CivilTime* t) {
  return c->year(&t->year) && c->literal("-") && c->fixed(2, &t->month) && c->literal("-") &&
         c->fixed(2, &t->day) && c->literal(" ") && c->clock(t) && real_time(*t);
}

// "Www Mmm dd HH:MM:SS Y", as ctime writes it (the day blank-padded to two places).
bool read_ctime(Cursor* c, CivilTime* t) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int day_of_week = -1;
  for (int i = 0; i < 7 && day_of_week < 0; ++i) {
    if (c->literal(kDays[i])) day_of_week = i;
  }
  if (day_of_week < 0 || !c->literal(" ")) return false;
  t->month = 0;
  for (int i = 0; i < 12 && t->month == 0; ++i) {
    if (c->literal(kMonths[i])) t->month = i + 1;
  }
  if (t->month == 0 || !c->literal(" ")) return false;
  if (c->literal(" ")) {
    if (!c->fixed(1, &t->day) || t->day == 0) return false;
  } else if (!c->fixed(2, &t->day) || t->day < 10) {
    return false;
  }
  return c->literal(" ") && c->clock(t) && c->literal(" ") && c->year(&t->year) && real_time(*t) &&
         weekday(t->year, t->month, t->day) == day_of_week;
}

// "DD.MM.Y HH:MM:SS.micro", the whole of `text`.
bool read_stamp(std::string_view text, RecordStamp* stamp) {
  Cursor c{text, 0};
  CivilTime& t = stamp->time;
  unsigned long long micros = 0;
  return c.fixed(2, &t.day) && c.literal(".") && c.fixed(2, &t.month) && c.literal(".") && c.year(&t.year) &&
         c.literal(" ") && c.clock(&t) && c.literal(".") && c.number(6, &micros) && c.pos == text.size() &&
         real_time(t) && (stamp->micros = static_cast<int>(micros), true);
}

// The middle block from "#LETZ.ZUG#" through "#INHALT#"; on success c->pos is past it.
bool read_middle(Cursor* c, IndexRecord* r, std::string* why) {
  if (!c->literal("#LETZ.ZUG#") || !read_local_time(c, &r->atime)) return *why = "bad access time", false;
  if (!c->literal("#LETZT.MOD#") || !read_local_time(c, &r->mtime)) return *why = "bad modification time", false;
  if (!c->literal("#CREATE.DATAE#") || !read_ctime(c, &r->ctime)) return *why = "bad change time", false;
  unsigned long long size = 0;
  if (!c->literal("#SIZE#") || !c->number(19, &size) || size > 9223372036854775807ull)
    return *why = "bad size", false;
  r->size = static_cast<std::int64_t>(size);
  if (!c->literal("#MD5#")) return *why = "bad digest", false;
  if (c->literal(kNoDigest)) {
    r->md5.reset();
  } else {
    if (c->pos + 32 > c->text.size()) return *why = "bad digest", false;
    for (std::size_t i = 0; i < 32; ++i) {
      const char h = c->text[c->pos + i];
      if (!is_digit(h) && !(h >= 'a' && h <= 'f')) return *why = "bad digest", false;
    }
    r->md5 = std::string(c->text.substr(c->pos, 32));
    c->pos += 32;
  }
  if (!c->literal("#INHALT#")) return *why = "no content marker", false;
  return true;
}

// The name is the path's last component: same length, same bytes but for ASCII case and a quote
// in the name where the path has a blank.
bool name_fits_path(std::string_view path, std::string_view name) {
  if (name.size() > path.size()) return false;
  const std::size_t begin = path.size() - name.size();
  if (begin > 0 && !is_separator(path[begin - 1])) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char n = name[i];
    const char p = path[begin + i];
    if (is_separator(n)) return false;
    if (lower(n) == lower(p)) continue;
    if (p == ' ' && (n == '\'' || n == '"')) continue;
    return false;
  }
  return true;
}

// Splits the head (the bytes between "set '#PFAD#" and the middle block) into path and name.
// `first_quote` is the first quote in the record at or after the head's start.
bool split_head(std::string_view record, std::size_t head_end, std::size_t first_quote, IndexRecord* r) {
  const std::size_t head_begin = kHead.size();
  if (head_end < head_begin + kNameMarker.size()) return false;
  std::size_t from = head_begin;
  if (head_end - head_begin > kNameMax + kNameMarker.size()) from = head_end - kNameMax - kNameMarker.size();
  std::size_t k = record.find(kNameMarker, from);
  for (; k != std::string_view::npos && k + kNameMarker.size() <= head_end; k = record.find(kNameMarker, k + 1)) {
    if (first_quote < k) return false;  // the path would hold a quote, and so would every longer one
    const std::string_view path = record.substr(head_begin, k - head_begin);
    const std::string_view name = record.substr(k + kNameMarker.size(), head_end - k - kNameMarker.size());
    if (name_fits_path(path, name)) {
      r->path.assign(path);
      r->name.assign(name);
      return true;
    }
  }
  return false;
}

// Parses [0, record.size()) where `last_line` is the first byte of its last line and
// `first_quote` the first quote at or after the head's start (npos: none).
bool parse_known(std::string_view record, std::size_t last_line, std::size_t first_quote, IndexRecord* r,
                 std::string* why) {
  if (record.size() < 3 || record.compare(record.size() - 3, 3, "'\r\n") != 0) return *why = "no record end", false;
  if (record.compare(0, kHead.size(), kHead) != 0) return *why = "no record start", false;
  const std::size_t stamp_end = record.size() - 3;
  const std::size_t quote = record.rfind('\'', stamp_end - 1);
  if (quote == std::string_view::npos || quote + 1 < kEnd.size() + kHead.size() ||
      record.compare(quote + 1 - kEnd.size(), kEnd.size(), kEnd) != 0)
    return *why = "no end marker", false;
  if (!read_stamp(record.substr(quote + 1, stamp_end - quote - 1), &r->stamp)) return *why = "bad stamp", false;
  const std::size_t content_end = quote + 1 - kEnd.size();

  *why = "no middle block";
  for (std::size_t m = record.find("#LETZ.ZUG#", std::max(last_line, kHead.size()));
       m != std::string_view::npos && m < content_end; m = record.find("#LETZ.ZUG#", m + 1)) {
    Cursor c{record.substr(0, content_end), m};
    std::string block_why;
    if (!read_middle(&c, r, &block_why)) {
      if (*why == "no middle block") *why = block_why;
      continue;
    }
    if (!split_head(record, m, first_quote, r)) {
      *why = "path and name do not agree";
      continue;
    }
    r->content.assign(record.substr(c.pos, content_end - c.pos));
    return true;
  }
  return false;
}

void append_padded(std::string* out, int value, int width) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 15);
  for (int i = n; i < width; ++i) out->push_back('0');
  while (n > 0) out->push_back(digits[--n]);
}

}  // namespace

bool CivilTime::operator==(const CivilTime& o) const {
  return year == o.year && month == o.month && day == o.day && hour == o.hour && minute == o.minute &&
         second == o.second;
}

bool stamp_before(const RecordStamp& a, const RecordStamp& b) {
  const int ka[] = {a.time.year, a.time.month, a.time.day, a.time.hour, a.time.minute, a.time.second, a.micros};
  const int kb[] = {b.time.year, b.time.month, b.time.day, b.time.hour, b.time.minute, b.time.second, b.micros};
  for (int i = 0; i < 7; ++i) {
    if (ka[i] != kb[i]) return ka[i] < kb[i];
  }
  return false;
}

bool parse_record(std::string_view bytes, IndexRecord* record, std::string* why) {
  std::size_t last_line = 0;
  if (bytes.size() >= 2) {
    const std::size_t feed = bytes.rfind('\n', bytes.size() - 2);
    if (feed != std::string_view::npos) last_line = feed + 1;
  }
  const std::size_t quote = bytes.size() > kHead.size() ? bytes.find_first_of("'\"", kHead.size()) : std::string_view::npos;
  return parse_known(bytes, last_line, quote, record, why);
}

std::string format_civil_time(const CivilTime& t) {
  std::string out;
  out.reserve(19);
  append_padded(&out, t.year, 4);
  out.push_back('-');
  append_padded(&out, t.month, 2);
  out.push_back('-');
  append_padded(&out, t.day, 2);
  out.push_back(' ');
  append_padded(&out, t.hour, 2);
  out.push_back(':');
  append_padded(&out, t.minute, 2);
  out.push_back(':');
  append_padded(&out, t.second, 2);
  return out;
}

std::string format_stamp_iso(const RecordStamp& stamp) {
  std::string out = format_civil_time(stamp.time);
  out.push_back('.');
  append_padded(&out, stamp.micros, 6);
  return out;
}

bool parse_civil_time_iso(std::string_view text, CivilTime* time) {
  Cursor c{text, 0};
  CivilTime t;
  if (!(c.fixed(4, &t.year) && c.literal("-") && c.fixed(2, &t.month) && c.literal("-") && c.fixed(2, &t.day) &&
        c.literal(" ") && c.clock(&t) && c.pos == text.size() && real_time(t)))
    return false;
  *time = t;
  return true;
}

RecordStream::RecordStream(std::size_t record_limit) : limit_(record_limit) {}

void RecordStream::drop_front(std::size_t end) {
  start_ = line_start_ = scan_ = end;
  line_checked_ = false;
  first_quote_ = std::string::npos;
  last_why_.clear();
  // Consumed bytes are dropped once they are the larger part, so a long read of many records
  // is moved at most a few times.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = line_start_ = scan_ = 0;
  } else if (start_ >= 65536 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = line_start_ = scan_ = 0;
  }
}

void RecordStream::emit_malformed(std::size_t end, const std::string& why, std::vector<StreamItem>* items) {
  StreamItem item;
  item.kind = StreamItem::Kind::kMalformed;
  item.length = end - start_;
  item.excerpt = buffer_.substr(start_, std::min(item.length, kExcerptMax));
  item.why = why.empty() ? "no record end" : why;
  items->push_back(std::move(item));
}

RecordStream::State RecordStream::feed(std::string_view bytes, std::vector<StreamItem>* items) {
  if (state_ != State::kOpen) return state_;
  buffer_.append(bytes.data(), bytes.size());
  process(items);
  return state_;
}

void RecordStream::process(std::vector<StreamItem>* items) {
  while (state_ == State::kOpen) {
    // At a line's start: "quit\r\n" ends the stream where a record would start, and "set '#PFAD#"
    // starts a new record where one is pending.
    if (!line_checked_) {
      const std::string_view line = std::string_view(buffer_).substr(line_start_);
      if (line_start_ == start_) {
        if (line.size() < kQuit.size() && kQuit.compare(0, line.size(), line) == 0) return;
        if (line.compare(0, kQuit.size(), kQuit) == 0) {
          state_ = State::kQuit;
          return;
        }
      } else {
        const std::size_t n = std::min(line.size(), kHead.size());
        if (line.compare(0, n, kHead.substr(0, n)) == 0) {
          if (n < kHead.size()) return;  // wait for the rest of the line's start
          emit_malformed(line_start_, last_why_, items);
          start_ = line_start_;
          first_quote_ = std::string::npos;
        }
      }
      line_checked_ = true;
    }

    const std::size_t feed_at = buffer_.find('\n', scan_);
    const std::size_t scanned_end = feed_at == std::string::npos ? buffer_.size() : feed_at + 1;
    if (first_quote_ == std::string::npos && scanned_end > start_ + kHead.size()) {
      const std::size_t from = std::max(scan_, start_ + kHead.size());
      const std::size_t q = buffer_.find_first_of("'\"", from);
      if (q != std::string::npos && q < scanned_end) first_quote_ = q;
    }
    scan_ = scanned_end;
    if (scan_ - start_ > limit_) {
      state_ = State::kTooLong;
      return;
    }
    if (feed_at == std::string::npos) return;

    const std::string_view record = std::string_view(buffer_).substr(start_, scan_ - start_);
    const std::size_t quote = first_quote_ == std::string::npos ? std::string::npos : first_quote_ - start_;
    StreamItem item;
    std::string why;
    if (parse_known(record, line_start_ - start_, quote, &item.record, &why)) {
      item.length = record.size();
      items->push_back(std::move(item));
      drop_front(scan_);
    } else {
      // The reason kept for the log is that of the line that came closest to ending a record.
      if (last_why_.empty() || why != "no record end") last_why_ = why;
      line_start_ = scan_;
      line_checked_ = false;
    }
  }
}

void RecordStream::finish(std::vector<StreamItem>* items) {
  if (state_ != State::kOpen) return;
  process(items);
  if (state_ != State::kOpen) return;
  const std::string_view rest = std::string_view(buffer_).substr(start_);
  // A stream cut inside its closing "quit\r\n" still ended at a record boundary.
  if (rest.empty() || kQuit.compare(0, rest.size(), rest) == 0) return;
  // The closing line after a malformed record is not part of it.
  std::size_t end = buffer_.size();
  if (rest.size() > kQuit.size() && rest.substr(rest.size() - kQuit.size() - 1) == "\nquit\r\n") end -= kQuit.size();
  emit_malformed(end, last_why_.empty() ? "cut off" : last_why_, items);
  drop_front(buffer_.size());
}

}  // namespace tessary
