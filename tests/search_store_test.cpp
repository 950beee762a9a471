// The search against both stores: the same records in an SQLite file and in a real PostgreSQL
// server (started by the test), the same requests, the same answers.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "search/match.h"
#include "search/search.h"
#include "tests/harness.h"
#include "tests/pg_harness.h"
#include "tests/search_fixture.h"

namespace {

using harness::StoredRecord;

const std::string kDigestA = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kDigestB = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kHostilePath = "/hostile/\xff\xfe<script>\n#DATEINAME#x.txt";
const std::string kHostileContent =
    "<script>alert(1)</script> \"><img src=x onerror=alert(2)> javascript:alert(3) \xe2\x80\xae evil\r";

std::vector<StoredRecord> records() {
  const auto rec = [](std::string path, std::string mtime, long long size, std::optional<std::string> md5,
                      std::string content) {
    StoredRecord r;
    r.name = path.substr(path.rfind('/') + 1);
    r.path = std::move(path);
    r.atime = "2024-05-05 05:05:05";
    r.mtime = std::move(mtime);
    r.ctime = "2024-06-06 06:06:06";
    r.size = size;
    r.md5 = std::move(md5);
    r.stamp = "2024-07-07 07:07:07.000042";
    r.content = std::move(content);
    return r;
  };
  return {
      rec("/docs/fox.txt", "2024-03-01 10:00:00", 43, kDigestA, "the quick brown fox jumps over the lazy dog"),
      rec("/docs/fox-copy.txt", "2024-03-02 00:00:00", 43, kDigestA, "the quick brown fox jumps over the lazy dog"),
      rec("/docs/dogs.md", "2024-01-15 08:00:00", 5000, kDigestB, "a lazy dog and another lazy dog sleep"),
      rec("/other/quickly.log", "2023-12-31 23:59:59", 100, std::nullopt, "quickly quicker quickest"),
      rec("/other/nodigest.txt", "2024-02-01 00:00:00", 19, std::nullopt, "the quick brown fox"),
      rec(kHostilePath, "2022-01-01 00:00:00", 90, "cccccccccccccccccccccccccccccccc", kHostileContent),
      rec("/big/long.txt", "2021-01-01 00:00:00", 700000, "dddddddddddddddddddddddddddddddd",
          std::string(700000, 'f') + " haystack needle"),
      rec("/mail/notes.eml", "2020-05-05 05:05:05", 60, std::nullopt,
          "write to admin@example.org about /srv/share/plan-b.txt or https://intra.example.org/x?y=z"),
      rec("/docs/\xc3\xbcnicode.txt", "2024-01-15 08:00:00", 5000, kDigestB, "stra\xc3\x9f" "e caf\xc3\xa9 \xe6\x9d\xb1\xe4\xba\xac tokyo"),
  };
}

// Contents of many lengths (token counts past one, two and three bytes of a varint) that each hold
// "needle" a known number of times: their scores are score_from_counts of those counts.
struct LengthCase {
  std::size_t needles, tokens;
};
const std::vector<LengthCase> kLengthCases = {{1, 1}, {3, 127}, {1, 128}, {2, 300}, {5, 16384}, {1, 70000}};

std::vector<StoredRecord> length_records() {
  std::vector<StoredRecord> out;
  for (const LengthCase& c : kLengthCases) {
    StoredRecord r;
    r.path = "/len/" + std::to_string(c.tokens);
    r.name = std::to_string(c.tokens);
    r.atime = r.mtime = r.ctime = "2024-05-05 05:05:05";
    r.stamp = "2024-07-07 07:07:07.000042";
    for (std::size_t i = 0; i < c.tokens; ++i) r.content += i < c.needles ? "needle " : "hay ";
    r.size = static_cast<long long>(r.content.size());
    out.push_back(std::move(r));
  }
  return out;
}

// Stores of each kind, each filled once for the whole program: `set` 0 holds records(), 1
// length_records().
std::string store_location(const std::string& kind, int set = 0) {
  static harness::TempDir dir;
  static std::unique_ptr<harness::PgServer> pg;
  static std::map<std::pair<std::string, int>, std::string> made;
  std::string& location = made[{kind, set}];
  if (!location.empty()) return location;
  if (kind == "sqlite") {
    location = dir.file("index" + std::to_string(set) + ".db");
  } else {
    if (!pg) pg = std::make_unique<harness::PgServer>();
    if (pg->ok()) location = pg->fresh_database();
    EXPECT_NE(location, "") << pg->error();
    if (location.empty()) return location;
  }
  const std::string error =
      harness::fill_store(location, set == 0 ? records() : length_records(), 3, "2024-08-08T08:08:08");
  EXPECT_EQ(error, "");
  return location;
}

class SearchStore : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    location_ = store_location(GetParam());
    ASSERT_NE(location_, "");
    std::string error;
    store_ = tessary::search::open_store(location_, &error);
    ASSERT_TRUE(store_) << error;
  }

  // The paths that `options` (key, value pairs as set_field takes them) find, in order, and the total.
  std::string paths(const std::vector<std::pair<std::string, std::string>>& options, bool duplicates = false) {
    tessary::search::Request request;
    request.duplicates = duplicates;
    std::string error;
    for (const auto& [key, value] : options) EXPECT_TRUE(set_field(&request, key, value, key, &error)) << error;
    tessary::search::Result result;
    EXPECT_TRUE(tessary::search::run_search(*store_, request, &result, &error)) << error;
    std::string out = std::to_string(result.total) + ":";
    for (const auto& row : result.rows) out += " " + row.path;
    return out;
  }

  std::string location_;
  std::unique_ptr<tessary::search::StoreReader> store_;
};

TEST_P(SearchStore, QueriesRankByRelevanceThenNewest) {
  // The shorter content scores higher for one occurrence; equal contents go newest first.
  EXPECT_EQ(paths({{"query", "FOX"}}), "3: /other/nodigest.txt /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"query", "\"brown fox\" jump*"}}), "2: /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"query", "\"fox brown\""}}), "0:");
  EXPECT_EQ(paths({{"query", "quick*"}}),
            "4: /other/quickly.log /other/nodigest.txt /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"query", "quick"}}), "3: /other/nodigest.txt /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"query", "lazy dog"}}), "3: /docs/dogs.md /docs/fox-copy.txt /docs/fox.txt");
  // A word past the part of a long content that PostgreSQL's tsvector holds.
  EXPECT_EQ(paths({{"query", "needle"}}), "1: /big/long.txt");
  EXPECT_EQ(paths({{"query", "\"haystack needle\""}}), "1: /big/long.txt");
  EXPECT_EQ(paths({{"query", "TOKYO \xe6\x9d\xb1\xe4\xba\xac caf\xc3\xa9 stra\xc3\x9f*"}}),
            "1: /docs/\xc3\xbcnicode.txt");
  EXPECT_EQ(paths({{"query", "img onerror"}}), "1: " + kHostilePath);
  // Words inside addresses, paths and links are words like any other, in both stores.
  EXPECT_EQ(paths({{"query", "example"}}), "1: /mail/notes.eml");
  EXPECT_EQ(paths({{"query", "\"plan b\" intra* share"}}), "1: /mail/notes.eml");
}

TEST_P(SearchStore, HostileQueryTextIsOnlyWords) {
  for (const char* text : {"'; DROP TABLE files; --", "\"", "*", "NEAR(a b)", "content:x", "a\\", "x' OR '1'='1",
                           "fox') OR ('1'='1", "!!! ((( :* <-> &|"}) {
    std::string out = paths({{"query", text}});
    EXPECT_TRUE(out == "0:" || out.rfind("0:", 0) != 0) << text;
  }
  EXPECT_EQ(paths({{"query", "fox') OR ('1'='1"}}), "0:");
  EXPECT_EQ(paths({{"query", "'fox'"}}), "3: /other/nodigest.txt /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({}).substr(0, 2), "9:");
}

TEST_P(SearchStore, FiltersListingAndPaging) {
  EXPECT_EQ(paths({}),
            "9: /docs/fox-copy.txt /docs/fox.txt /other/nodigest.txt /docs/dogs.md /docs/\xc3\xbcnicode.txt "
            "/other/quickly.log " + kHostilePath + " /big/long.txt /mail/notes.eml");
  EXPECT_EQ(paths({{"limit", "2"}, {"offset", "1"}}), "9: /docs/fox.txt /other/nodigest.txt");
  EXPECT_EQ(paths({{"limit", "0"}, {"offset", "7"}}), "9: /big/long.txt /mail/notes.eml");
  EXPECT_EQ(paths({{"offset", "99"}}), "9:");
  EXPECT_EQ(paths({{"query", "fox"}, {"limit", "1"}, {"offset", "1"}}), "3: /docs/fox-copy.txt");
  EXPECT_EQ(paths({{"path", "/docs/f"}}), "2: /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"path", "/hostile/\xff"}}), "1: " + kHostilePath);
  EXPECT_EQ(paths({{"path", "/docs/fox.txtx"}}), "0:");
  EXPECT_EQ(paths({{"name", "*.MD"}}), "1: /docs/dogs.md");
  EXPECT_EQ(paths({{"name", "?nicode.*"}, {"query", "tokyo"}}), "1: /docs/\xc3\xbcnicode.txt");
  EXPECT_EQ(paths({{"min-size", "1k"}, {"max-size", "5000"}}), "2: /docs/dogs.md /docs/\xc3\xbcnicode.txt");
  // After is inclusive, before exclusive.
  EXPECT_EQ(paths({{"after", "2024-02-01"}, {"before", "2024-03-02"}}), "2: /docs/fox.txt /other/nodigest.txt");
  EXPECT_EQ(paths({{"digest", kDigestA}, {"query", "dog"}}), "2: /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"digest", "ffffffffffffffffffffffffffffffff"}}), "0:");
}

TEST_P(SearchStore, DuplicatesShareADigest) {
  // Largest first, grouped by digest; the records without a digest are never duplicates.
  EXPECT_EQ(paths({}, true), "4: /docs/dogs.md /docs/\xc3\xbcnicode.txt /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"query", "fox"}}, true), "2: /docs/fox-copy.txt /docs/fox.txt");
  EXPECT_EQ(paths({{"path", "/docs/d"}}, true), "1: /docs/dogs.md");
}

TEST_P(SearchStore, ScoresFollowTokenCounts) {
  std::string error;
  auto store = tessary::search::open_store(store_location(GetParam(), 1), &error);
  ASSERT_TRUE(store) << error;
  // The ranked shortcut (no filter) and the filtered scan must both give each record its score.
  for (const char* prefix : {"", "/len/"}) {
    tessary::search::Request request;
    request.query = tessary::search::parse_query("needle");
    if (*prefix != '\0') request.path_prefix = prefix;
    tessary::search::Result result;
    ASSERT_TRUE(tessary::search::run_search(*store, request, &result, &error)) << error;
    ASSERT_EQ(result.rows.size(), kLengthCases.size()) << prefix;
    for (const auto& row : result.rows) {
      const std::size_t tokens = std::stoul(row.name);
      const auto c = std::find_if(kLengthCases.begin(), kLengthCases.end(),
                                  [&](const LengthCase& l) { return l.tokens == tokens; });
      ASSERT_NE(c, kLengthCases.end());
      EXPECT_DOUBLE_EQ(row.score, tessary::search::score_from_counts({c->needles}, c->tokens)) << row.path << prefix;
    }
  }
}

TEST_P(SearchStore, StatsAndErrors) {
  tessary::search::Stats stats;
  std::string error;
  ASSERT_TRUE(store_->stats(&stats, &error)) << error;
  EXPECT_EQ(stats.records, 9);
  EXPECT_EQ(stats.rejected, 3);
  EXPECT_EQ(stats.last_received.value_or(""), "2024-08-08T08:08:08");
  EXPECT_FALSE(store_->content("/no/such/path", 100, &error, &error));
}

INSTANTIATE_TEST_SUITE_P(Stores, SearchStore, ::testing::Values("sqlite", "postgres"));

harness::ProcessResult search(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TESSARY_SEARCH_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run_process(argv, {}, 60);
}

TEST(SearchCommand, BothStoresPrintTheSameBytes) {
  const std::vector<std::vector<std::string>> requests = {
      {"--json", "--content"},
      {"--json", "--limit", "0", "fox"},
      {"--json", "quick*", "--offset", "1"},
      {"--json", "--duplicates"},
      {"--json", "needle"},
      {"--json", "--content", "needle"},
      {"--json", "--name", "*.txt", "--min-size", "40"},
      {"fox"},
  };
  for (const auto& args : requests) {
    std::vector<std::string> a = args, b = args;
    a.insert(a.begin(), {"--store", store_location("sqlite")});
    b.insert(b.begin(), {"--store", store_location("postgres")});
    const harness::ProcessResult from_sqlite = search(a);
    const harness::ProcessResult from_postgres = search(b);
    std::string shown;
    for (const std::string& arg : args) shown += " " + arg;
    EXPECT_EQ(from_sqlite.status, 0) << shown << from_sqlite.err;
    EXPECT_EQ(from_sqlite.out, from_postgres.out) << shown;
    EXPECT_EQ(from_postgres.err, "");
  }
}

TEST(SearchCommand, JsonLinesStatusesAndMessages) {
  const std::string location = store_location("sqlite");
  harness::ProcessResult r = search({"--store", location, "--json", "--content", "--path", "/hostile/"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"path\":\"/hostile/\xef\xbf\xbd\xef\xbf\xbd<script>\\n#DATEINAME#x.txt\","
            "\"name\":\"\xef\xbf\xbd\xef\xbf\xbd<script>\\n#DATEINAME#x.txt\","
            "\"atime\":\"2024-05-05T05:05:05\",\"mtime\":\"2022-01-01T00:00:00\",\"ctime\":\"2024-06-06T06:06:06\","
            "\"size\":90,\"md5\":\"cccccccccccccccccccccccccccccccc\",\"stamp\":\"2024-07-07T07:07:07.000042\","
            "\"snippet\":\"<script>alert(1)</script> \\\"><img src=x onerror=alert(2)> javascript:alert(3) "
            "\xe2\x80\xae evil\","
            "\"content\":\"<script>alert(1)</script> \\\"><img src=x onerror=alert(2)> javascript:alert(3) "
            "\xe2\x80\xae evil\\r\"}\n");
  r = search({"--store", location, "--json", "--path", "/other/quickly"});
  EXPECT_NE(r.out.find("\"md5\":null,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"snippet\":\"quickly quicker quickest\"}"), std::string::npos) << r.out;
  // Table: hits bracketed when not on a terminal, stored control characters escaped.
  r = search({"--store", location, "javascript"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "      90  2022-01-01 00:00  /hostile/\xef\xbf\xbd\xef\xbf\xbd<script>\\n#DATEINAME#x.txt\n"
            "                            \xe2\x80\xa6\"><img src=x onerror=alert(2)> [javascript]:alert(3) "
            "\\u202e evil\n");
  EXPECT_EQ(search({"--store", location, "nothing_like_this"}).status, 1);
  r = search({"--store", location, "--limit", "abc"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("tessary-search: --limit: not a non-negative number: abc"), std::string::npos) << r.err;
  EXPECT_EQ(search({"--store", location, "--after", "2023-02-30"}).status, 2);
  EXPECT_EQ(search({"--store", location, "--bogus"}).status, 2);
  harness::TempDir dir;
  harness::write_file(dir.file("not.db"), "this is not a database");
  r = search({"--store", dir.file("not.db"), "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "tessary-search: " + dir.file("not.db") + ": file is not a database\n");
  r = search({"--store", dir.file("missing.db")});
  EXPECT_EQ(r.err, "tessary-search: " + dir.file("missing.db") + ": No such file or directory\n");
  EXPECT_EQ(search({"--store", "postgresql://127.0.0.1:1/none?connect_timeout=2"}).status, 2);
  r = search({"--version"});
  EXPECT_EQ(r.out, "tessary-search 1.0.0\n");
}

}  // namespace
