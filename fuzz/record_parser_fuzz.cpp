// Fuzzes the index record parser two ways. Raw bytes: whatever the split into reads, the items
// are the same, they lie back to back, and every record taken, built again by the agent's own
// record builder from the parsed fields, gives back exactly the bytes it was parsed from.
// Built records: records the agent's builder makes from hostile paths, names and contents
// (quotes, "#DATEINAME#", line feeds, "@@ENDE@@' '", whole other records), between junk lines,
// come back field for field.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "driver/file_facts.h"
#include "driver/path_split.h"
#include "record/record.h"
#include "fuzz/fuzz_check.h"
#include "record/record_parser.h"

namespace {

constexpr std::size_t kLimit = 1 << 20;

tessary::CivilTime civil_of(const struct tm& t) {
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

struct tm tm_of(const tessary::CivilTime& c) {
  struct tm t {};
  t.tm_year = c.year - 1900;
  t.tm_mon = c.month - 1;
  t.tm_mday = c.day;
  t.tm_hour = c.hour;
  t.tm_min = c.minute;
  t.tm_sec = c.second;
  return t;
}

// The agent's texts for a parsed time: the process runs in UTC, so local time is the civil time.
std::string local_text(const tessary::CivilTime& c) {
  struct tm t = tm_of(c);
  return tessary::local_time_text(timegm(&t));
}
std::string change_text(const tessary::CivilTime& c) {
  struct tm t = tm_of(c);
  return tessary::change_time_text(timegm(&t));
}

std::vector<tessary::StreamItem> read_all(const std::string& bytes, const std::vector<std::size_t>& cuts) {
  tessary::RecordStream stream(kLimit);
  std::vector<tessary::StreamItem> items;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    if (cut <= at || cut >= bytes.size()) continue;
    stream.feed(std::string_view(bytes).substr(at, cut - at), &items);
    at = cut;
  }
  stream.feed(std::string_view(bytes).substr(at), &items);
  stream.finish(&items);
  return items;
}

bool same(const tessary::IndexRecord& a, const tessary::IndexRecord& b) {
  return a.path == b.path && a.name == b.name && a.atime == b.atime && a.mtime == b.mtime && a.ctime == b.ctime &&
         a.size == b.size && a.md5 == b.md5 && a.content == b.content && a.stamp == b.stamp;
}

std::string hex_digest(FuzzedDataProvider& in) {
  static const char kHex[] = "0123456789abcdef";
  std::string digest;
  for (int i = 0; i < 32; ++i) digest.push_back(kHex[in.ConsumeIntegral<std::uint8_t>() & 15]);
  return digest;
}

// Seconds of years 1 to 9999.
time_t any_time(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange<std::int64_t>(-62135596800LL, 253402300799LL);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC0", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool built = in.ConsumeBool();
  std::vector<std::size_t> cuts;
  for (int i = in.ConsumeIntegralInRange(0, 6); i > 0; --i) cuts.push_back(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
  std::sort(cuts.begin(), cuts.end());

  if (!built) {
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const std::vector<tessary::StreamItem> whole = read_all(bytes, {});
    const std::vector<tessary::StreamItem> pieces = read_all(bytes, cuts);
    FUZZ_CHECK(whole.size() == pieces.size());
    std::size_t at = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) {
      FUZZ_CHECK(whole[i].kind == pieces[i].kind && whole[i].length == pieces[i].length);
      const std::string own = bytes.substr(at, whole[i].length);
      at += whole[i].length;
      if (whole[i].kind != tessary::StreamItem::Kind::kRecord) continue;
      FUZZ_CHECK(same(whole[i].record, pieces[i].record));
      const tessary::IndexRecord& r = whole[i].record;
      tessary::RecordFacts facts;
      facts.access_time = local_text(r.atime);
      facts.modification_time = local_text(r.mtime);
      facts.change_time = change_text(r.ctime);
      facts.size = std::to_string(r.size);
      struct tm stamp_tm = tm_of(r.stamp.time);
      const std::string stamp = tessary::format_stamp(stamp_tm, r.stamp.micros);
      // The path and name go in as parsed: upper case and quotes stay as the peer sent them.
      const std::string again = tessary::build_index_record(r.path, r.name, facts, r.md5 ? *r.md5 : "nicht berechnet",
                                                            r.content, stamp);
      FUZZ_CHECK(again == own);
    }
    return 0;
  }

  std::string bytes;
  std::vector<tessary::IndexRecord> sent;
  std::size_t junk_lines = 0;  // runs of junk lines: lines after junk belong to it
  bool after_junk = false;
  for (int n = in.ConsumeIntegralInRange(1, 3); n > 0; --n) {
    if (in.ConsumeBool()) {
      // A junk line: never a record start, never a line feed inside.
      std::string junk = "x" + in.ConsumeRandomLengthString(64);
      junk.erase(std::remove(junk.begin(), junk.end(), '\n'), junk.end());
      bytes += junk + "\r\n";
      if (!after_junk) ++junk_lines;
      after_junk = true;
    }
    std::string path = in.ConsumeRandomLengthString(300);
    path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());
    if (path.empty()) path = "/";
    std::string name = tessary::file_name_of(path);
    if (name.size() > 255) continue;  // no file system holds a longer name
    std::string content = in.ConsumeRandomLengthString(600);
    tessary::normalise_texts(path, name, content);
    tessary::IndexRecord expect;
    expect.path = path;
    expect.name = name;
    expect.content = content;
    tessary::RecordFacts facts;
    struct tm t {};
    time_t s = any_time(in);
    facts.access_time = tessary::local_time_text(s);
    expect.atime = civil_of(*gmtime_r(&s, &t));
    s = any_time(in);
    facts.modification_time = tessary::local_time_text(s);
    expect.mtime = civil_of(*gmtime_r(&s, &t));
    s = any_time(in);
    facts.change_time = tessary::change_time_text(s);
    expect.ctime = civil_of(*gmtime_r(&s, &t));
    expect.size = in.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);
    facts.size = std::to_string(expect.size);
    if (in.ConsumeBool()) expect.md5 = hex_digest(in);
    s = any_time(in);
    expect.stamp.time = civil_of(*gmtime_r(&s, &t));
    expect.stamp.micros = in.ConsumeIntegralInRange(0, 999999);
    const std::string stamp = tessary::format_stamp(t, expect.stamp.micros);
    bytes += tessary::build_index_record(path, name, facts, expect.md5 ? *expect.md5 : "nicht berechnet", content, stamp);
    sent.push_back(expect);
    after_junk = false;
  }
  if (in.ConsumeBool()) bytes += "quit\r\n";

  const std::vector<tessary::StreamItem> items = read_all(bytes, cuts);
  std::size_t records = 0, malformed = 0;
  for (const tessary::StreamItem& item : items) {
    if (item.kind == tessary::StreamItem::Kind::kMalformed) {
      ++malformed;
      continue;
    }
    FUZZ_CHECK(records < sent.size());
    FUZZ_CHECK(same(item.record, sent[records]));
    ++records;
  }
  FUZZ_CHECK(records == sent.size());
  FUZZ_CHECK(malformed == junk_lines);
  return 0;
}
