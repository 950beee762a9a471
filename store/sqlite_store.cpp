#include "store/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/schema.h"

namespace tessary::store {
namespace {

// Statements are finalised and the connection closed in reverse order of making.
struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;
struct DatabaseDeleter {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseDeleter>;

constexpr const char* kUpsert =
    "INSERT INTO files(path, name, atime, mtime, ctime, size, md5, stamp, content) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) "
    "ON CONFLICT(path) DO UPDATE SET name = excluded.name, atime = excluded.atime, "
    "mtime = excluded.mtime, ctime = excluded.ctime, size = excluded.size, md5 = excluded.md5, "
    "stamp = excluded.stamp, content = excluded.content "
    // The stamp's text has one fixed width, so text order is time order.
    "WHERE excluded.stamp > files.stamp";
constexpr const char* kAddRejected =
    "UPDATE stats SET value = CAST(CAST(value AS INTEGER) + ?1 AS TEXT) WHERE name = 'rejected'";
constexpr const char* kSetLastReceived =
    "INSERT INTO stats(name, value) VALUES('last_received', ?1) "
    "ON CONFLICT(name) DO UPDATE SET value = excluded.value";

void bind_bytes(sqlite3_stmt* s, int index, const std::string& bytes) {
  // Bound with their length: the bytes need not be valid UTF-8 and are kept as sent.
  sqlite3_bind_text(s, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
}

void bind_copy(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string column_bytes(sqlite3_stmt* s, int index) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(s, index));
  const int size = sqlite3_column_bytes(s, index);
  return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

class SqliteStore : public Store {
 public:
  SqliteStore(std::string path, Database db) : path_(std::move(path)), db_(std::move(db)) {}

  bool prepare(std::string* error) {
    return make(kUpsert, &upsert_, error) && make(kAddRejected, &add_rejected_, error) &&
           make(kSetLastReceived, &set_last_received_, error) && make("BEGIN IMMEDIATE", &begin_, error) &&
           make("COMMIT", &commit_, error) && make("ROLLBACK", &rollback_, error);
  }

  bool apply(const std::vector<const IndexRecord*>& records, std::uint64_t rejected, const std::string& received_at,
             std::string* error) override {
    if (!step(begin_.get(), error)) return false;
    bool ok = true;
    for (const IndexRecord* r : records) {
      if (!ok) break;
      sqlite3_stmt* s = upsert_.get();
      bind_bytes(s, 1, r->path);
      bind_bytes(s, 2, r->name);
      bind_copy(s, 3, format_civil_time(r->atime));
      bind_copy(s, 4, format_civil_time(r->mtime));
      bind_copy(s, 5, format_civil_time(r->ctime));
      sqlite3_bind_int64(s, 6, r->size);
      if (r->md5) bind_bytes(s, 7, *r->md5);
      else sqlite3_bind_null(s, 7);
      bind_copy(s, 8, format_stamp_iso(r->stamp));
      bind_bytes(s, 9, r->content);
      ok = step(s, error);
      sqlite3_clear_bindings(s);
    }
    if (ok && rejected > 0) {
      sqlite3_bind_int64(add_rejected_.get(), 1, static_cast<sqlite3_int64>(rejected));
      ok = step(add_rejected_.get(), error);
    }
    if (ok && !records.empty()) {
      bind_copy(set_last_received_.get(), 1, received_at);
      ok = step(set_last_received_.get(), error);
    }
    if (ok && step(commit_.get(), error)) return true;
    std::string ignored;
    // COMMIT may fail with the transaction still open (SQLITE_BUSY); a failed ROLLBACK means
    // SQLite already rolled back by itself.
    if (!sqlite3_get_autocommit(db_.get())) step(rollback_.get(), &ignored);
    return false;
  }

  bool read_rows(std::vector<IndexRecord>* rows, std::string* error) override {
    Statement s;
    if (!make("SELECT path, name, atime, mtime, ctime, size, md5, stamp, content FROM files ORDER BY CAST(path AS BLOB)",
              &s, error))
      return false;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      IndexRecord r;
      r.path = column_bytes(s.get(), 0);
      r.name = column_bytes(s.get(), 1);
      CivilTime stamp_time;
      const std::string stamp = column_bytes(s.get(), 7);
      if (!parse_civil_time_iso(column_bytes(s.get(), 2), &r.atime) ||
          !parse_civil_time_iso(column_bytes(s.get(), 3), &r.mtime) ||
          !parse_civil_time_iso(column_bytes(s.get(), 4), &r.ctime) || stamp.size() != 26 ||
          !parse_civil_time_iso(stamp.substr(0, 19), &r.stamp.time)) {
        *error = path_ + ": a row holds a time of the wrong form";
        return false;
      }
      r.stamp.micros = std::stoi(stamp.substr(20));
      r.size = sqlite3_column_int64(s.get(), 5);
      if (sqlite3_column_type(s.get(), 6) != SQLITE_NULL) r.md5 = column_bytes(s.get(), 6);
      r.content = column_bytes(s.get(), 8);
      rows->push_back(std::move(r));
    }
    return rc == SQLITE_DONE || fail(error);
  }

  bool read_stat(const std::string& name, std::string* value, std::string* error) override {
    Statement s;
    if (!make("SELECT value FROM stats WHERE name = ?1", &s, error)) return false;
    bind_copy(s.get(), 1, name);
    const int rc = sqlite3_step(s.get());
    value->clear();
    if (rc == SQLITE_ROW) *value = column_bytes(s.get(), 0);
    return rc == SQLITE_ROW || rc == SQLITE_DONE || fail(error);
  }

  std::vector<std::string> files() const override { return {path_, path_ + "-wal", path_ + "-shm"}; }

  bool make(const char* sql, Statement* out, std::string* error) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) return fail(error);
    out->reset(s);
    return true;
  }

 private:
  bool fail(std::string* error) {
    *error = path_ + ": " + sqlite3_errmsg(db_.get());
    return false;
  }
  bool step(sqlite3_stmt* s, std::string* error) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW || fail(error);
  }

  std::string path_;
  Database db_;
  Statement upsert_, add_rejected_, set_last_received_, begin_, commit_, rollback_;
};

bool exec(sqlite3* db, const std::string& path, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = path + ": " + (message ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  return false;
}

int user_version(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    version = sqlite3_column_int(s, 0);
  sqlite3_finalize(s);
  return version;
}

}  // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path, std::string* error) {
  // A missing last directory level is made (the default lives in /var/lib/tessary/).
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = dir + ": " + std::strerror(errno);
      return nullptr;
    }
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) {
    *error = path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory");
    return nullptr;
  }
  sqlite3_extended_result_codes(raw, 1);
  // Readers (the search) may hold the database briefly; the writer waits for them up to 10 s.
  sqlite3_busy_timeout(raw, 10000);
  // WAL: readers never block the writer. synchronous=FULL: every commit is synced, so a commit
  // that returned survives a kill and a power loss alike.
  if (!exec(raw, path, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA cache_size=-65536;", error))
    return nullptr;
  const int version = user_version(raw);
  if (version > kSqliteSchemaVersion) {
    *error = path + ": made by a newer version of tessary (schema " + std::to_string(version) + ")";
    return nullptr;
  }
  if (!exec(raw, path, "BEGIN IMMEDIATE", error)) return nullptr;
  // A store of version 1 gets the prefix index: its full-text table is made anew and filled
  // from the files table, in the same transaction as the rest of the set-up.
  const bool upgrade = version == 1;
  const std::string setup = std::string(upgrade ? "DROP TABLE files_fts;" : "") + kSqliteSchema +
                            (upgrade ? "INSERT INTO files_fts(files_fts) VALUES('rebuild');" : "") +
                            "INSERT INTO stats(name, value) VALUES('rejected', '0') ON CONFLICT(name) DO NOTHING;"
                            "PRAGMA user_version = " + std::to_string(kSqliteSchemaVersion) + ";";
  if (!exec(raw, path, setup.c_str(), error) || !exec(raw, path, "COMMIT", error)) {
    std::string ignored;
    exec(raw, path, "ROLLBACK", &ignored);
    if (error->find("file is not a database") != std::string::npos) *error = path + ": not a tessary store (not a SQLite database)";
    return nullptr;
  }
  auto store = std::make_unique<SqliteStore>(path, std::move(db));
  if (!store->prepare(error)) return nullptr;
  return store;
}

}  // namespace tessary::store
