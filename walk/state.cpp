#include "walk/state.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tessary {
namespace {

constexpr int kKindDelivered = 0;
constexpr int kKindPoison = 1;
constexpr int kSchemaVersion = 1;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS walk_files ("
    " path BLOB PRIMARY KEY,"      // the path as the walk built it, bytes as they are
    " kind INTEGER NOT NULL,"      // 0 delivered, 1 poison
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_s INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
    " ctime_s INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    " reason TEXT NOT NULL DEFAULT ''"
    ") WITHOUT ROWID";

// Makes the missing parent directories of `path` (mode 0700, as a user's state is private).
bool make_parents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

WalkState::~WalkState() {
  std::string ignored;
  if (db_ != nullptr) flush(true, &ignored);
  sqlite3_finalize(select_);
  sqlite3_finalize(upsert_);
  sqlite3_finalize(begin_);
  sqlite3_finalize(commit_);
  sqlite3_close(db_);
  // Closed only after SQLite: closing any descriptor of the file drops the process's POSIX locks.
  if (lock_fd_ >= 0) close(lock_fd_);
}

bool WalkState::fail(const std::string& what, std::string* error) {
  *error = "state file " + path_ + ": " + what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open");
  return false;
}

bool WalkState::open(const std::string& path, std::string* error) {
  path_ = path;
  if (!make_parents(path)) {
    *error = "state file " + path + ": cannot make its directory: " + std::strerror(errno);
    return false;
  }
  lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd_ < 0) {
    *error = "state file " + path + ": " + std::strerror(errno);
    return false;
  }
  // Another walk on the same state: wait a little (a walk just killed may still be ending).
  for (int waited = 0; flock(lock_fd_, LOCK_EX | LOCK_NB) != 0; ++waited) {
    if (errno != EWOULDBLOCK || waited >= 50) {
      *error = "state file " + path + ": " +
               (errno == EWOULDBLOCK ? std::string("in use by another walk") : std::strerror(errno));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK)
    return fail("cannot open", error);
  sqlite3_busy_timeout(db_, 5000);
  // WAL: a commit appends to the log and syncs it only at checkpoints (synchronous=NORMAL),
  // which keeps the database consistent through a power loss and costs no sync per batch.
  // The walk holds the file alone (the lock above), so SQLite takes its locks once instead of
  // twice per statement (set before WAL is entered, the WAL index then lives in the heap). A small
  // page cache: lookups go by primary key, and the pages the B-tree needs beyond it come from the
  // kernel's cache, so the walk's memory does not grow with the number of files.
  if (sqlite3_exec(db_,
                   "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                   " PRAGMA cache_size=-256;",
                   nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail("cannot set the journal mode", error);
  sqlite3_stmt* version = nullptr;
  if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &version, nullptr) != SQLITE_OK)
    return fail("cannot read", error);
  const int found = sqlite3_step(version) == SQLITE_ROW ? sqlite3_column_int(version, 0) : -1;
  sqlite3_finalize(version);
  if (found < 0) return fail("cannot read", error);
  if (found > kSchemaVersion) {
    *error = "state file " + path + ": made by a newer version (schema " + std::to_string(found) + ")";
    return false;
  }
  if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db_, "PRAGMA user_version=1", nullptr, nullptr, nullptr) != SQLITE_OK)
    return fail("cannot create the table", error);
  if (sqlite3_prepare_v3(db_,
                         "SELECT kind, device, inode, size, mtime_s, mtime_ns, ctime_s, ctime_ns, reason"
                         " FROM walk_files WHERE path = ?1",
                         -1, SQLITE_PREPARE_PERSISTENT, &select_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(db_,
                         "INSERT OR REPLACE INTO walk_files"
                         " (path, kind, device, inode, size, mtime_s, mtime_ns, ctime_s, ctime_ns, reason)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                         -1, SQLITE_PREPARE_PERSISTENT, &upsert_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(db_, "BEGIN IMMEDIATE", -1, SQLITE_PREPARE_PERSISTENT, &begin_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(db_, "COMMIT", -1, SQLITE_PREPARE_PERSISTENT, &commit_, nullptr) != SQLITE_OK)
    return fail("cannot prepare its statements", error);
  return true;
}

bool WalkState::lookup(const std::string& path, const struct stat& status, Known* known, std::string* reason,
                       std::string* error) {
  sqlite3_reset(select_);
  sqlite3_bind_blob(select_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  const int step = sqlite3_step(select_);
  *known = Known::kNew;
  if (step == SQLITE_DONE) return true;
  if (step != SQLITE_ROW) return fail("cannot read", error);
  const auto column = [this](int i) { return sqlite3_column_int64(select_, i); };
  const bool same_content = column(3) == static_cast<sqlite3_int64>(status.st_size) &&
                            column(4) == static_cast<sqlite3_int64>(status.st_mtim.tv_sec) &&
                            column(5) == static_cast<sqlite3_int64>(status.st_mtim.tv_nsec);
  if (column(0) == kKindPoison) {
    if (same_content) {
      *known = Known::kPoison;
      const unsigned char* text = sqlite3_column_text(select_, 8);
      reason->assign(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
  } else if (same_content && column(1) == static_cast<sqlite3_int64>(status.st_dev) &&
             column(2) == static_cast<sqlite3_int64>(status.st_ino) &&
             column(6) == static_cast<sqlite3_int64>(status.st_ctim.tv_sec) &&
             column(7) == static_cast<sqlite3_int64>(status.st_ctim.tv_nsec)) {
    *known = Known::kUnchanged;
  }
  sqlite3_reset(select_);
  return true;
}

bool WalkState::begin_if_needed(std::string* error) {
  if (in_transaction_) return true;
  sqlite3_reset(begin_);
  if (sqlite3_step(begin_) != SQLITE_DONE) return fail("cannot begin a transaction", error);
  in_transaction_ = true;
  rows_ = 0;
  opened_at_ = std::chrono::steady_clock::now();
  return true;
}

bool WalkState::write(const std::string& path, const struct stat& status, int kind, const std::string& reason,
                      std::string* error) {
  if (!begin_if_needed(error)) return false;
  sqlite3_reset(upsert_);
  sqlite3_bind_blob(upsert_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  sqlite3_bind_int(upsert_, 2, kind);
  sqlite3_bind_int64(upsert_, 3, static_cast<sqlite3_int64>(status.st_dev));
  sqlite3_bind_int64(upsert_, 4, static_cast<sqlite3_int64>(status.st_ino));
  sqlite3_bind_int64(upsert_, 5, static_cast<sqlite3_int64>(status.st_size));
  sqlite3_bind_int64(upsert_, 6, static_cast<sqlite3_int64>(status.st_mtim.tv_sec));
  sqlite3_bind_int64(upsert_, 7, static_cast<sqlite3_int64>(status.st_mtim.tv_nsec));
  sqlite3_bind_int64(upsert_, 8, static_cast<sqlite3_int64>(status.st_ctim.tv_sec));
  sqlite3_bind_int64(upsert_, 9, static_cast<sqlite3_int64>(status.st_ctim.tv_nsec));
  sqlite3_bind_text(upsert_, 10, reason.data(), static_cast<int>(reason.size()), SQLITE_STATIC);
  const int step = sqlite3_step(upsert_);
  sqlite3_reset(upsert_);
  if (step != SQLITE_DONE) return fail("cannot write", error);
  ++rows_;
  return flush(false, error);
}

bool WalkState::mark_delivered(const std::string& path, const struct stat& status, std::string* error) {
  return write(path, status, kKindDelivered, "", error);
}

bool WalkState::mark_poison(const std::string& path, const struct stat& status, const std::string& reason,
                            std::string* error) {
  return write(path, status, kKindPoison, reason, error);
}

bool WalkState::flush(bool force, std::string* error) {
  if (!in_transaction_) return true;
  if (!force && rows_ < kBatchRows &&
      std::chrono::steady_clock::now() - opened_at_ < std::chrono::duration<double>(kBatchSeconds))
    return true;
  sqlite3_reset(commit_);
  if (sqlite3_step(commit_) != SQLITE_DONE) {
    sqlite3_reset(commit_);
    return fail("cannot commit", error);
  }
  sqlite3_reset(commit_);
  in_transaction_ = false;
  return true;
}

}  // namespace tessary
