// The store's writer against SQLite and a real PostgreSQL server (started by the test): the
// newer-stamp rule, byte-exact fields, the statistics, and very long contents.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "record/record_parser.h"
#include "store/postgres_store.h"
#include "store/schema.h"
#include "store/store.h"
#include "tests/harness.h"
#include "tests/pg_harness.h"

namespace {

using tessary::IndexRecord;

IndexRecord make(const std::string& path, const std::string& content, int second, int micros) {
  IndexRecord r;
  r.path = path;
  r.name = path.substr(path.rfind('/') + 1);
  r.atime = {2023, 11, 14, 22, 13, 20};
  r.mtime = {999, 2, 28, 0, 0, 1};
  r.ctime = {9999, 12, 31, 23, 59, 59};
  r.size = 9223372036854775807LL;
  r.md5 = std::string("0123456789abcdef0123456789abcdef");
  r.content = content;
  r.stamp = {{2026, 12, 8, 12, 0, second}, micros};
  return r;
}

bool same(const IndexRecord& a, const IndexRecord& b) {
  return a.path == b.path && a.name == b.name && a.atime == b.atime && a.mtime == b.mtime && a.ctime == b.ctime &&
         a.size == b.size && a.md5 == b.md5 && a.content == b.content && a.stamp == b.stamp;
}

// One store of each kind; PostgreSQL gets a fresh database on a server of this test process.
class StoreTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "postgresql") {
      static harness::PgServer server;  // one per test process, stopped and removed at its exit
      pg_ = &server;
      ASSERT_TRUE(pg_->ok()) << pg_->error();
      location_ = pg_->fresh_database();
      ASSERT_FALSE(location_.empty()) << pg_->error();
    } else {
      location_ = dir_.file("sub/index.db");  // the last directory level is made
    }
    store_ = open();
  }
  std::unique_ptr<tessary::store::Store> open() {
    std::string error;
    auto store = tessary::store::open_store(location_, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  bool apply(const std::vector<IndexRecord>& records, std::uint64_t rejected = 0) {
    std::vector<const IndexRecord*> pointers;
    for (const IndexRecord& r : records) pointers.push_back(&r);
    std::string error;
    const bool ok = store_->apply(pointers, rejected, "2026-12-08T12:00:00", &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::vector<IndexRecord> rows() {
    std::vector<IndexRecord> out;
    std::string error;
    EXPECT_TRUE(store_->read_rows(&out, &error)) << error;
    return out;
  }
  std::string stat(const std::string& name) {
    std::string value, error;
    EXPECT_TRUE(store_->read_stat(name, &value, &error)) << error;
    return value;
  }

  harness::TempDir dir_;
  harness::PgServer* pg_ = nullptr;
  std::string location_;
  std::unique_ptr<tessary::store::Store> store_;
};

TEST_P(StoreTest, OnlyAStrictlyNewerStampReplaces) {
  ASSERT_TRUE(store_);
  // Micros 9 and 10: as text "…00.9" would sort after "…00.10"; as times 10 is newer.
  ASSERT_TRUE(apply({make("/a", "first", 0, 9)}));
  ASSERT_TRUE(apply({make("/a", "newer", 0, 10), make("/a", "older in the same batch", 0, 8)}));
  ASSERT_TRUE(apply({make("/a", "same stamp", 0, 10)}));
  ASSERT_TRUE(apply({make("/a", "older", 0, 9), make("/b", "other path", 0, 1)}));
  const std::vector<IndexRecord> got = rows();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(same(got[0], make("/a", "newer", 0, 10)));
  EXPECT_TRUE(same(got[1], make("/b", "other path", 0, 1)));
}

TEST_P(StoreTest, FieldsComeBackByteForByte) {
  ASSERT_TRUE(store_);
  // Bytes that are not UTF-8, a zero byte, quotes, SQL, a record; no digest; size 0.
  static const char kPath[] = "/d/\xff\xfe bad'; DROP TABLE files; --\r\nx";
  static const char kContent[] = "caf\xc3\xa9 \xe9t\xe9 \0 zero #INHALT# @@ENDE@@' ' \"q\"";
  const std::string path(kPath, sizeof kPath - 1);
  const std::string content(kContent, sizeof kContent - 1);
  IndexRecord r = make(path, content, 59, 999999);
  r.md5.reset();
  r.size = 0;
  ASSERT_TRUE(apply({r}, /*rejected=*/3));
  ASSERT_TRUE(apply({}, /*rejected=*/2));
  const std::vector<IndexRecord> got = rows();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(same(got[0], r));
  EXPECT_EQ(stat("rejected"), "5");
  EXPECT_EQ(stat("last_received"), "2026-12-08T12:00:00");
  // Opening again keeps everything (the schema statements run again harmlessly).
  store_ = open();
  ASSERT_TRUE(store_);
  EXPECT_EQ(rows().size(), 1u);
  EXPECT_EQ(stat("rejected"), "5");
}

TEST_P(StoreTest, VeryLongContentIsKeptWhole) {
  ASSERT_TRUE(store_);
  // 3 MiB of distinct words: PostgreSQL's tsvector of all of it would pass its 1 MiB limit.
  std::string content;
  for (long long i = 0; content.size() < 3u * 1024u * 1024u; ++i) content += "w" + std::to_string(i * 7919) + " ";
  ASSERT_TRUE(apply({make("/long", content, 1, 1), make("/short", "tiny", 1, 1)}));
  const std::vector<IndexRecord> got = rows();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].content, content);
}

TEST_P(StoreTest, ConcurrentWritersKeepTheNewestOfEachPath) {
  ASSERT_TRUE(store_);
  // Four writers (several servers on one database, or one server and a restart), each writing
  // every path with its own stamps in batches in the opposite order of the others.
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([this, w] {
      std::string error;
      auto store = tessary::store::open_store(location_, &error);
      ASSERT_TRUE(store) << error;
      for (int batch = 0; batch < 10; ++batch) {
        std::vector<IndexRecord> records;
        for (int p = 0; p < 20; ++p) {
          const int path = w % 2 ? 19 - p : p;
          records.push_back(make("/p" + std::to_string(path), "writer " + std::to_string(w), batch, w));
        }
        std::vector<const IndexRecord*> pointers;
        for (const IndexRecord& r : records) pointers.push_back(&r);
        ASSERT_TRUE(store->apply(pointers, 0, "2026-12-08T12:00:00", &error)) << error;
      }
    });
  }
  for (std::thread& t : writers) t.join();
  const std::vector<IndexRecord> got = rows();
  ASSERT_EQ(got.size(), 20u);
  for (const IndexRecord& r : got) EXPECT_EQ(r.content, "writer 3") << r.path;  // second 9, micros 3
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"));

TEST(SqliteStore, SchemaAndDurabilitySettings) {
  harness::TempDir dir;
  const std::string path = dir.file("index.db");
  std::string error;
  {
    auto store = tessary::store::open_store(path, &error);
    ASSERT_TRUE(store) << error;
    IndexRecord r = make("/a", "needle in the content", 0, 1);
    std::vector<const IndexRecord*> one = {&r};
    ASSERT_TRUE(store->apply(one, 0, "2026-12-08T12:00:00", &error)) << error;
  }
  // What the search reads: the schema version, WAL, and the FTS index kept by the triggers.
  const harness::ProcessResult r = harness::run_process(
      {"sqlite3", path, "PRAGMA user_version; PRAGMA journal_mode; SELECT path FROM files JOIN files_fts ON "
                        "files.id = files_fts.rowid WHERE files_fts MATCH 'needle';"});
  EXPECT_EQ(r.out, std::to_string(tessary::store::kSqliteSchemaVersion) + "\nwal\n/a\n") << r.err;
  // A store of version 1 (its full-text table without the prefix index) is upgraded on opening,
  // its records indexed anew.
  harness::run_process({"sqlite3", path,
                        "DROP TABLE files_fts; CREATE VIRTUAL TABLE files_fts USING fts5(content, content='files', "
                        "content_rowid='id', tokenize='unicode61 remove_diacritics 0'); PRAGMA user_version = 1;"});
  ASSERT_TRUE(tessary::store::open_store(path, &error)) << error;
  const harness::ProcessResult upgraded = harness::run_process(
      {"sqlite3", path, "PRAGMA user_version; SELECT instr(sql, 'prefix=''3''') > 0 FROM sqlite_master WHERE "
                        "name = 'files_fts'; SELECT rowid FROM files_fts WHERE files_fts MATCH 'nee*';"});
  EXPECT_EQ(upgraded.out, "2\n1\n1\n") << upgraded.err;
  // Not a database, and a newer schema: refused with the path and the reason.

  harness::write_file(dir.file("text"), std::string(5000, 'x'));
  EXPECT_FALSE(tessary::store::open_store(dir.file("text"), &error));
  EXPECT_NE(error.find(dir.file("text")), std::string::npos) << error;
  harness::run_process({"sqlite3", path, "PRAGMA user_version = 99"});
  EXPECT_FALSE(tessary::store::open_store(path, &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST(PostgresStore, TsvectorSourceIsValidUtf8AndBounded) {
  using tessary::store::tsvector_source;
  EXPECT_EQ(tsvector_source("ok \xc3\xa9", 100), "ok \xc3\xa9");
  // Invalid bytes and zero bytes become U+FFFD; overlong forms and surrogates are invalid.
  EXPECT_EQ(tsvector_source(std::string("a\xff" "b\0c", 5), 100), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
  EXPECT_EQ(tsvector_source("\xc0\xaf", 100), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(tsvector_source("\xed\xa0\x80", 100), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  // Cut at the limit, never inside a character.
  EXPECT_EQ(tsvector_source("ab\xc3\xa9", 3), "ab");
  EXPECT_EQ(tsvector_source("abcdef", 4), "abcd");
}

}  // namespace
