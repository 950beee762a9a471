// The walk's state: per path, what the last run that delivered its record saw, and the files
// whose work failed in a way that would fail again (poison).
//
// One SQLite file in WAL mode, one connection, prepared statements with bound parameters.
// Changes are written in explicit transactions of at most kBatchRows rows, committed at the
// latest kBatchSeconds after their first row: a walk ended by kill -9 or a power loss loses at
// most the rows of the open transaction, whose files are then indexed again by the next walk.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace tessary {

/// Rows in one transaction at most, and seconds its first row waits for the commit at most.
constexpr int kBatchRows = 256;
constexpr double kBatchSeconds = 0.25;

/// What the state says about a path seen now.
enum class Known {
  kNew,        ///< not delivered in this version: index it
  kUnchanged,  ///< delivered, and device, inode, size, mtime and ctime are the same
  kPoison,     ///< failed before (crashed, timed out, memory) and size and mtime are the same
};

class WalkState {
 public:
  WalkState() = default;
  ~WalkState();
  WalkState(const WalkState&) = delete;
  WalkState& operator=(const WalkState&) = delete;

  /// Opens (creating it and its missing parent directories) the state file at `path` and takes
  /// an exclusive lock on it, so two walks never share one state. False with a message naming
  /// the file and the reason in `error`.
  bool open(const std::string& path, std::string* error);

  /// Looks `path` up and compares with `status`. `reason` receives the poison reason.
  /// False with `error` set when the store cannot be read.
  bool lookup(const std::string& path, const struct stat& status, Known* known, std::string* reason,
              std::string* error);

  /// Records that `path` with `status` (taken after its run) was delivered.
  bool mark_delivered(const std::string& path, const struct stat& status, std::string* error);
  /// Records that `path` failed for `reason` ("crashed", "timed out", "memory"); `status` as
  /// seen before the run (its size and modification time decide when it is retried).
  bool mark_poison(const std::string& path, const struct stat& status, const std::string& reason,
                   std::string* error);

  /// Commits the open transaction when it is old or large enough (`force`: in any case).
  bool flush(bool force, std::string* error);

 private:
  bool fail(const std::string& what, std::string* error);
  bool begin_if_needed(std::string* error);
  bool write(const std::string& path, const struct stat& status, int kind, const std::string& reason,
             std::string* error);

  std::string path_;
  int lock_fd_ = -1;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  bool in_transaction_ = false;
  int rows_ = 0;
  std::chrono::steady_clock::time_point opened_at_;
};

}  // namespace tessary
