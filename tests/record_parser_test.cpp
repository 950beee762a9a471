// The record parser: golden pairs (records the real agent made from hostile files, beside the
// fields they must give), hand-made hostile and malformed records, and the framing of a stream
// in pieces of any size.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "record/record_parser.h"
#include "server/log.h"
#include "tests/harness.h"

namespace {

using tessary::IndexRecord;
using tessary::RecordStream;
using tessary::StreamItem;

const std::string kRecords = std::string(TESSARY_SOURCE_DIR) + "/tests/records/";

// The fields of a record, one "key: value" line each, bytes escaped as in the server's log.
std::string render(const IndexRecord& r) {
  auto e = [](const std::string& s) { return tessary::server::escape_for_log(s, s.size()); };
  return "path: " + e(r.path) + "\nname: " + e(r.name) + "\natime: " + tessary::format_civil_time(r.atime) +
         "\nmtime: " + tessary::format_civil_time(r.mtime) + "\nctime: " + tessary::format_civil_time(r.ctime) +
         "\nsize: " + std::to_string(r.size) + "\nmd5: " + (r.md5 ? *r.md5 : "none") +
         "\nstamp: " + tessary::format_stamp_iso(r.stamp) + "\ncontent: " + e(r.content) + "\n";
}

std::string parse_rendered(const std::string& bytes) {
  IndexRecord r;
  std::string why;
  if (!tessary::parse_record(bytes, &r, &why)) return "malformed: " + why + "\n";
  return render(r);
}

// Records made by the real agent (tests/records/make_records.sh) against hand-written fields.
TEST(RecordParser, GoldenRecordsOfTheAgent) {
  for (const char* name : {"plain", "quotes_in_name", "markers_in_name", "feeds_in_path", "hostile_content",
                           "no_digest"}) {
    SCOPED_TRACE(name);
    const std::string record = harness::read_file(kRecords + name + ".rec");
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(parse_rendered(record), harness::read_file(kRecords + name + ".fields"));
  }
}

// A stamp-and-times template for hand-made records.
std::string record_with(const std::string& path, const std::string& name, const std::string& middle,
                        const std::string& content, const std::string& stamp) {
  return "set '#PFAD#" + path + "#DATEINAME#" + name + middle + "#INHALT#" + content + "@@ENDE@@' '" + stamp + "'\r\n";
}
std::string middle_with(const std::string& atime, const std::string& ctime, const std::string& size,
                        const std::string& md5) {
  return "#LETZ.ZUG#" + atime + "#LETZT.MOD#2024-02-29 23:59:59#CREATE.DATAE#" + ctime + "#SIZE#" + size + "#MD5#" +
         md5;
}
const std::string kGoodMiddle = middle_with("2023-11-14 22:13:20", "Tue Nov 14 22:13:20 2023", "42", "nicht berechnet");
const std::string kStamp = "08.12.2026 12:30:16.7";

TEST(RecordParser, HostileValuesAreReadByTheirShapes) {
  IndexRecord r;
  std::string why;
  // A path holding the name marker, a content holding a whole other record (upper case, as a
  // peer other than the agent could send it) and the end marker.
  const std::string inner = record_with("/etc/x", "x", kGoodMiddle, "evil", "01.01.2020 00:00:00.1");
  const std::string content = "q '#' \"\r" + inner.substr(0, inner.size() - 1) + " @@ENDE@@' ' tail";
  ASSERT_TRUE(tessary::parse_record(record_with("/d/A#DATEINAME#b/c.txt", "C.txt", kGoodMiddle, content, kStamp), &r, &why)) << why;
  EXPECT_EQ(r.path, "/d/A#DATEINAME#b/c.txt");
  EXPECT_EQ(r.name, "C.txt");
  EXPECT_EQ(r.content, content);
  EXPECT_EQ(tessary::format_stamp_iso(r.stamp), "2026-12-08 12:30:16.000007");
  EXPECT_EQ(r.size, 42);
  EXPECT_FALSE(r.md5);

  // A name holding a complete middle block: only the split where the name is the path's last
  // component stands.
  const std::string fake = kGoodMiddle + "#INHALT#zz";
  ASSERT_TRUE(tessary::parse_record(record_with("/d/a" + fake, "a" + fake,
                                                middle_with("2001-01-01 00:00:00", "Mon Jan  1 00:00:00 2001",
                                                            "9223372036854775807", std::string(32, 'f')),
                                                "c", kStamp), &r, &why)) << why;
  EXPECT_EQ(r.path, "/d/a" + fake);
  EXPECT_EQ(tessary::format_civil_time(r.atime), "2001-01-01 00:00:00");
  EXPECT_EQ(r.size, 9223372036854775807LL);
  EXPECT_EQ(r.md5, std::string(32, 'f'));
  EXPECT_EQ(r.content, "c");

  // Quotes in the name stand where the path has blanks; a path ending in "/" has an empty name;
  // a relative path without "/" is its own name; backslashes separate too.
  EXPECT_TRUE(tessary::parse_record(record_with("/d/it s  q .txt", "it's \"q\".txt", kGoodMiddle, "", kStamp), &r, &why));
  EXPECT_TRUE(tessary::parse_record(record_with("/d/", "", kGoodMiddle, "", kStamp), &r, &why));
  EXPECT_TRUE(tessary::parse_record(record_with("rel.txt", "rel.txt", kGoodMiddle, "", kStamp), &r, &why));
  EXPECT_TRUE(tessary::parse_record(record_with("c:\\w\\n.txt", "n.txt", kGoodMiddle, "", kStamp), &r, &why));
  EXPECT_EQ(r.name, "n.txt");
  // Years below 1000 as strftime writes them, a leap day, the last microsecond.
  EXPECT_TRUE(tessary::parse_record(
      record_with("/a", "a", middle_with("999-12-31 23:59:59", "Thu Feb 29 00:00:00 2024", "0", "nicht berechnet"), "",
                  "29.02.2024 00:00:00.999999"), &r, &why)) << why;
  EXPECT_EQ(tessary::format_civil_time(r.atime), "0999-12-31 23:59:59");
}

TEST(RecordParser, ValuesThatAreNotRealAreMalformed) {
  struct Case {
    const char* what;
    std::string record;
  };
  const std::string d = "nicht berechnet";
  const std::string c = "Tue Nov 14 22:13:20 2023";
  const std::vector<Case> cases = {
      {"30 February", record_with("/a", "a", middle_with("2023-02-30 10:00:00", c, "1", d), "", kStamp)},
      {"29 February of a common year", record_with("/a", "a", middle_with("2023-02-29 10:00:00", c, "1", d), "", kStamp)},
      {"hour 24", record_with("/a", "a", middle_with("2023-01-01 24:00:00", c, "1", d), "", kStamp)},
      {"second 60", record_with("/a", "a", middle_with("2023-01-01 23:59:60", c, "1", d), "", kStamp)},
      {"month 13", record_with("/a", "a", middle_with("2023-13-01 10:00:00", c, "1", d), "", kStamp)},
      {"year 0", record_with("/a", "a", middle_with("0-01-01 10:00:00", c, "1", d), "", kStamp)},
      {"year 10000", record_with("/a", "a", middle_with("10000-01-01 10:00:00", c, "1", d), "", kStamp)},
      {"year with a leading zero", record_with("/a", "a", middle_with("0999-01-01 10:00:00", c, "1", d), "", kStamp)},
      {"weekday of another date", record_with("/a", "a", middle_with("2023-01-01 10:00:00", "Wed Nov 14 22:13:20 2023", "1", d), "", kStamp)},
      {"ctime day zero-padded", record_with("/a", "a", middle_with("2023-01-01 10:00:00", "Sat Nov 04 22:13:20 2023", "1", d), "", kStamp)},
      {"size with a leading zero", record_with("/a", "a", middle_with("2023-01-01 10:00:00", c, "012", d), "", kStamp)},
      {"size past 2^63-1", record_with("/a", "a", middle_with("2023-01-01 10:00:00", c, "9223372036854775808", d), "", kStamp)},
      {"negative size", record_with("/a", "a", middle_with("2023-01-01 10:00:00", c, "-1", d), "", kStamp)},
      {"digest in upper case", record_with("/a", "a", middle_with("2023-01-01 10:00:00", c, "1", std::string(32, 'A')), "", kStamp)},
      {"digest of 31 digits", record_with("/a", "a", middle_with("2023-01-01 10:00:00", c, "1", std::string(31, 'a')), "", kStamp)},
      {"stamp on 31 April", record_with("/a", "a", kGoodMiddle, "", "31.04.2026 12:00:00.1")},
      {"stamp micros with a leading zero", record_with("/a", "a", kGoodMiddle, "", "08.12.2026 12:00:00.01")},
      {"stamp with 7 micro digits", record_with("/a", "a", kGoodMiddle, "", "08.12.2026 12:00:00.1234567")},
      {"stamp day not padded", record_with("/a", "a", kGoodMiddle, "", "8.12.2026 12:00:00.1")},
      {"name that is not the path's last component", record_with("/a/b", "a", kGoodMiddle, "", kStamp)},
      {"name in the path's place", record_with("/a/b", "/a/b", kGoodMiddle, "", kStamp)},
      {"quote in the path", record_with("/a'/b", "b", kGoodMiddle, "", kStamp)},
      {"no CR before the end", record_with("/a", "a", kGoodMiddle, "", kStamp).substr(0, 0) + "set '#PFAD#/a#DATEINAME#a" + kGoodMiddle + "#INHALT#@@ENDE@@' '" + kStamp + "'\n"},
      {"a redis command", "set key value\r\n"},
  };
  for (const Case& k : cases) {
    IndexRecord r;
    std::string why;
    EXPECT_FALSE(tessary::parse_record(k.record, &r, &why)) << k.what;
    EXPECT_FALSE(why.empty()) << k.what;
  }
}

// Feeds `bytes` in pieces of `piece` bytes; returns what the stream gave, as text.
std::vector<std::string> stream_items(const std::string& bytes, std::size_t piece, std::size_t limit = 1 << 20,
                                      RecordStream::State* end_state = nullptr) {
  RecordStream stream(limit);
  std::vector<StreamItem> items;
  RecordStream::State state = RecordStream::State::kOpen;
  for (std::size_t at = 0; at < bytes.size() && state == RecordStream::State::kOpen; at += piece)
    state = stream.feed(std::string_view(bytes).substr(at, piece), &items);
  stream.finish(&items);
  if (end_state) *end_state = state;
  std::vector<std::string> out;
  for (const StreamItem& item : items)
    out.push_back(item.kind == StreamItem::Kind::kRecord ? "record " + item.record.path
                                                         : "malformed " + std::to_string(item.length));
  return out;
}

TEST(RecordStream, MalformedRecordsBetweenGoodOnesCostOnlyThemselves) {
  const std::string a = record_with("/a", "a", kGoodMiddle, "x", kStamp);
  const std::string bad_stamp = record_with("/b", "b", kGoodMiddle, "x", "31.02.2026 00:00:00.1");
  const std::string garbage = "GET / HTTP/1.0\r\n";
  const std::string feeds = record_with("/c\nquit\r\nd/e", "e", kGoodMiddle, "y", kStamp);
  const std::string bytes = a + bad_stamp + garbage + feeds + a + "quit\r\n" + "set ignored after quit\r\n";
  // Lines after a malformed record belong to it until a line starts a record again.
  const std::vector<std::string> expected = {
      "record /a", "malformed " + std::to_string(bad_stamp.size() + garbage.size()), "record /c\nquit\r\nd/e",
      "record /a"};
  // Whatever the pieces the bytes arrive in.
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}, bytes.size()}) {
    SCOPED_TRACE(piece);
    RecordStream::State state;
    EXPECT_EQ(stream_items(bytes, piece, 1 << 20, &state), expected);
    EXPECT_EQ(state, RecordStream::State::kQuit);
  }
}

TEST(RecordStream, EndsCutsAndTheLimit) {
  const std::string a = record_with("/a", "a", kGoodMiddle, "x", kStamp);
  // No "quit": the end of the stream ends it; a record cut off there is malformed.
  EXPECT_EQ(stream_items(a, 5), std::vector<std::string>{"record /a"});
  EXPECT_EQ(stream_items(a + a.substr(0, 30), 5),
            (std::vector<std::string>{"record /a", "malformed 30"}));
  // A stream cut inside its "quit\r\n" ended at a record boundary.
  EXPECT_EQ(stream_items(a + "qui", 2), std::vector<std::string>{"record /a"});
  // A malformed last record does not take the closing line with it.
  EXPECT_EQ(stream_items("nonsense\r\nquit\r\n", 3), std::vector<std::string>{"malformed 10"});
  // A record over the limit ends the stream; one just at the limit is taken.
  RecordStream::State state;
  EXPECT_EQ(stream_items(a + a, 16, a.size(), &state), (std::vector<std::string>{"record /a", "record /a"}));
  EXPECT_EQ(state, RecordStream::State::kOpen);
  stream_items(a + a, 16, a.size() - 1, &state);
  EXPECT_EQ(state, RecordStream::State::kTooLong);
  // Without any line feed the limit still holds.
  const std::vector<std::string> none = stream_items(std::string(5000, 'x'), 100, 4096, &state);
  EXPECT_EQ(state, RecordStream::State::kTooLong);
  EXPECT_TRUE(none.empty());
}

TEST(RecordStream, ManyLineFeedsInARecordStayLinear) {
  // 20,000 lines in one record, each ending like a record with a well-formed middle block in
  // front: a parser that looked back over the whole record at every line feed would take hours.
  std::string bytes = "set '#PFAD#/p";
  const std::string line = kGoodMiddle + "#INHALT#@@ENDE@@' '" + kStamp + "'\r\n";
  for (int i = 0; i < 20000; ++i) bytes += line;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stream_items(bytes, 65536, 64 << 20), std::vector<std::string>{"malformed " + std::to_string(bytes.size())});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(RecordTimes, FormsOfTheStore) {
  tessary::CivilTime t;
  EXPECT_TRUE(tessary::parse_civil_time_iso("2024-02-29 23:59:59", &t));
  EXPECT_EQ(tessary::format_civil_time(t), "2024-02-29 23:59:59");
  EXPECT_FALSE(tessary::parse_civil_time_iso("2023-02-29 23:59:59", &t));
  EXPECT_FALSE(tessary::parse_civil_time_iso("2023-02-28T23:59:59", &t));
  tessary::RecordStamp a{{2026, 12, 8, 12, 0, 0}, 9}, b{{2026, 12, 8, 12, 0, 0}, 10}, c{{2026, 12, 8, 11, 59, 59}, 999999};
  // As times: 9 µs before 10 µs, although "9" sorts after "10" as text.
  EXPECT_TRUE(tessary::stamp_before(a, b));
  EXPECT_FALSE(tessary::stamp_before(b, a));
  EXPECT_TRUE(tessary::stamp_before(c, a));
  EXPECT_FALSE(tessary::stamp_before(a, a));
}

}  // namespace
