#include "search/request.h"

#include <cctype>

namespace tessary::search {

bool parse_count(const std::string& text, std::int64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > (std::int64_t{1} << 62)) return false;
  *out = value;
  return true;
}

bool parse_size(const std::string& text, std::int64_t* out) {
  std::string digits = text;
  int shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      case 't': case 'T': shift = 40; break;
      default: break;
    }
    if (shift != 0) digits.pop_back();
  }
  std::int64_t value = 0;
  if (!parse_count(digits, &value)) return false;
  if (shift != 0 && value > ((std::int64_t{1} << 62) >> shift)) return false;
  *out = value << shift;
  return true;
}

bool parse_date(const std::string& text, std::string* out) {
  const auto digits = [&](std::size_t at, std::size_t n, int* value) {
    if (at + n > text.size()) return false;
    *value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      *value = *value * 10 + (text[i] - '0');
    }
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(0, 4, &year) || text.size() < 10 || text[4] != '-' || !digits(5, 2, &month) || text[7] != '-' ||
      !digits(8, 2, &day)) {
    return false;
  }
  if (text.size() > 10) {
    if ((text[10] != ' ' && text[10] != 'T') || text.size() < 16 || !digits(11, 2, &hour) || text[13] != ':' ||
        !digits(14, 2, &minute)) {
      return false;
    }
    if (text.size() > 16 && (text.size() != 19 || text[16] != ':' || !digits(17, 2, &second))) return false;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1 || month < 1 || month > 12) return false;
  if (day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  *out = buf;
  return true;
}

bool parse_digest(const std::string& text, std::string* out) {
  if (text.size() != 32) return false;
  std::string lower;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  *out = lower;
  return true;
}

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Length of the character at name[i]: a whole UTF-8 sequence, or one byte.
std::size_t char_length(const std::string& s, std::size_t i) {
  const unsigned char b = static_cast<unsigned char>(s[i]);
  std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
  if (i + n > s.size()) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

// Matches a bracket expression at pattern[p] ('[' already seen at p - 1) against the character
// name.substr(i, len). Sets *next to the index after ']'; false in *valid when unterminated.
bool match_set(const std::string& pattern, std::size_t p, const std::string& ch, std::size_t* next, bool* valid) {
  bool negate = false;
  if (p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^')) {
    negate = true;
    ++p;
  }
  bool found = false;
  bool first = true;
  while (p < pattern.size() && (pattern[p] != ']' || first)) {
    first = false;
    std::size_t len = char_length(pattern, p);
    std::string lo = pattern.substr(p, len);
    if (len == 1) lo[0] = fold(lo[0]);
    p += len;
    if (p + 1 < pattern.size() && pattern[p] == '-' && pattern[p + 1] != ']') {
      std::size_t len2 = char_length(pattern, p + 1);
      std::string hi = pattern.substr(p + 1, len2);
      if (len2 == 1) hi[0] = fold(hi[0]);
      p += 1 + len2;
      if (lo <= ch && ch <= hi && ch.size() == lo.size()) found = true;
    } else if (lo == ch) {
      found = true;
    }
  }
  if (p >= pattern.size()) {
    *valid = false;
    return false;
  }
  *valid = true;
  *next = p + 1;
  return found != negate;
}

}  // namespace

bool glob_match(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0;
  std::size_t star_p = std::string::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size()) {
      const char pc = pattern[p];
      if (pc == '*') {
        star_p = ++p;
        star_n = n;
        continue;
      }
      const std::size_t len = char_length(name, n);
      if (pc == '?') {
        ++p;
        n += len;
        continue;
      }
      if (pc == '[') {
        std::size_t next = 0;
        bool valid = false;
        const std::string ch = name.substr(n, len);
        const bool ok = match_set(pattern, p + 1, len == 1 ? std::string(1, fold(ch[0])) : ch, &next, &valid);
        if (valid) {
          if (ok) {
            p = next;
            n += len;
            continue;
          }
        } else if (name[n] == '[') {  // an unterminated '[' is an ordinary character
          ++p;
          ++n;
          continue;
        }
      } else {
        std::size_t lit = p;
        if (pc == '\\' && p + 1 < pattern.size()) lit = p + 1;
        if (fold(pattern[lit]) == fold(name[n])) {
          p = lit + 1;
          ++n;
          continue;
        }
      }
    }
    if (star_p == std::string::npos) return false;
    // Let the last '*' take one more character and try again from there.
    star_n += char_length(name, star_n);
    n = star_n;
    p = star_p;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool set_field(Request* request, const std::string& key, const std::string& value, const std::string& what,
               std::string* error) {
  const auto fail = [&](const std::string& reason) {
    *error = what + ": " + reason + ": " + value;
    return false;
  };
  std::int64_t number = 0;
  std::string text;
  if (key == "query") {
    request->query = parse_query(value);
    std::size_t words = 0;
    for (const Term& term : request->query.terms) words += term.words.size();
    if (words > kMaxQueryWords) {
      *error = what + ": more than " + std::to_string(kMaxQueryWords) + " words";
      return false;
    }
  } else if (key == "path") {
    request->path_prefix = value;
  } else if (key == "name") {
    request->name_glob = value;
  } else if (key == "min-size" || key == "max-size") {
    if (!parse_size(value, &number)) return fail("not a size (bytes, or a number with k, M, G or T)");
    (key == "min-size" ? request->min_size : request->max_size) = number;
  } else if (key == "after" || key == "before") {
    if (!parse_date(value, &text)) return fail("not a date (YYYY-MM-DD [HH:MM[:SS]])");
    (key == "after" ? request->after : request->before) = text;
  } else if (key == "digest") {
    if (!parse_digest(value, &text)) return fail("not an MD5 digest (32 hex digits)");
    request->digest = text;
  } else if (key == "limit" || key == "offset") {
    if (!parse_count(value, &number)) return fail("not a non-negative number");
    (key == "limit" ? request->limit : request->offset) = number;
  } else {
    *error = what + ": unknown parameter";
    return false;
  }
  return true;
}

}  // namespace tessary::search
