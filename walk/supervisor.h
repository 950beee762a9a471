// The supervisor: hands the files of the walk to worker processes forked from this prepared one,
// one file at a time each, and watches each file's work with a deadline, a memory bound and the
// worker's session.
//
// A worker runs one file after another (run_path, as `tessary PATH` does) and answers one byte
// per file on a pipe; the parent always knows which file a worker holds. A worker whose file
// ends its process (a signal, a silent end), runs past the time limit or passes the memory limit
// costs only that file: the parent ends the worker's whole session and forks a new worker for the
// next file. Workers are also replaced after kFilesPerWorker files, which bounds what a worker
// can accumulate. One event loop, never blocked on one worker: exits and stop signals arrive on
// a signalfd, answers on the workers' pipes; deadlines, memory samples, progress and state
// commits are timers of the same loop. Each worker starts a session of its own (setsid), so the
// tools it starts in process groups of their own stay in its session and can all be found and
// ended with it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "driver/run.h"
#include "process/unique_fd.h"
#include "walk/state.h"
#include "walk/summary.h"
#include "walk/tree.h"

namespace tessary {

/// A worker's answer for one file, and the exit statuses of a worker that ends during a file,
/// chosen apart from the statuses a run uses by itself (0, 1).
constexpr int kChildDelivered = 40;
constexpr int kChildStatFailed = 41;
constexpr int kChildNotDelivered = 42;
constexpr int kChildSilent = 43;    ///< a silent end of the run: no record by design
constexpr int kChildSignalled = 44;  ///< the crash handler ended the run on a signal
constexpr int kChildOrphaned = 45;  ///< the walk was gone before the worker started

/// Files one worker process indexes before it is replaced by a fresh one.
constexpr int kFilesPerWorker = 1000;

struct SupervisorOptions {
  int jobs = 1;
  int heavy_jobs = 1;  ///< office conversions and Windows programs at once
  int time_limit_seconds = 330;
  std::uint64_t memory_limit = std::uint64_t{1} << 30;
  bool full = false;
  bool retry_failed = false;
  bool progress = false;            ///< a status line on standard error (a terminal)
  /// A second walk over the same paths that only counts files, for the progress line's total
  /// and ETA; advanced a slice at a time between the children's events. Not owned; may be null.
  TreeWalk* counter = nullptr;
  FILE* failures = nullptr;         ///< failed paths are written here, when set
  bool null_separated = false;      ///< failures end in NUL instead of a line feed
};

/// How the walk ended.
enum class WalkEnd {
  kCompleted,          ///< every entry handled
  kServerUnreachable,  ///< stopped early: the index server cannot be reached
  kStateError,         ///< stopped: the state file cannot be read or written
  kStopped,            ///< stopped by SIGINT, SIGTERM or SIGHUP
};

/// True for a path whose name ends in an extension of office documents or Windows programs,
/// the kinds whose conversion starts a heavy tool (libreoffice, wine).
bool heavy_by_name(const std::string& path);

/// Contents of the common kinds of files (plain text in several encodings, PDF, office and
/// Windows program headers, MP3, FLAC), for prime_file_facts: libmagic's work that they warm up
/// is then inherited by every child.
std::vector<std::string> priming_samples();

/// The private memory of process `pid` in bytes (resident and swapped, pages it does not share
/// with the process it was forked from); -1 when it cannot be read.
long long private_memory(pid_t pid);

/// Sends SIGKILL to every process group of session `session` and to each of its processes.
void end_session(pid_t session);

class Supervisor {
 public:
  /// The caller must have blocked SIGCHLD, SIGINT, SIGTERM and SIGHUP (see block_signals).
  Supervisor(const RunSetup& setup, TreeWalk* tree, WalkState* state, SupervisorOptions options);
  ~Supervisor();

  /// Blocks the signals the loop reads from its signalfd. Call before anything is forked.
  static void block_signals();

  /// Runs the walk to its end. Messages about entries and the stop go to standard error.
  WalkEnd run();

  const WalkCounts& counts() const { return counts_; }
  /// The stop signal (kStopped).
  int stop_signal() const { return stop_signal_; }
  /// The state file's message (kStateError).
  const std::string& state_error() const { return state_error_; }
  /// Seconds since the walk started.
  double elapsed() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum class Cause { kNone, kTimeLimit, kMemory, kStop };
  struct Child {
    pid_t pid = 0;  ///< the worker process; 0: none
    UniqueFd request;  ///< the parent writes paths here (length, then bytes)
    UniqueFd reply;    ///< the worker answers one byte per file here
    int files = 0;     ///< files this worker was given
    bool busy = false;  ///< holds a file
    std::string path;
    struct stat before {};
    bool heavy = false;
    Cause cause = Cause::kNone;
    Clock::time_point started;
    Clock::time_point deadline;
    Clock::time_point kill_at;  ///< after SIGTERM: when SIGKILL follows
    bool terminated = false;
  };
  struct Pending {
    std::string path;
    struct stat status {};
  };

  bool next_pending(Pending* pending);
  bool start(Pending pending);
  bool spawn(Child* child);
  void read_replies(const std::vector<pollfd>& ready);
  void reap();
  void finish(Child* child, bool exited, int code);
  void retire(Child* child);
  bool has_free_slot() const;
  void fail(const Child& child, std::uint64_t* counter, const char* reason, bool poison);
  void note_failure(const std::string& path);
  void check_timers();
  void stop_children();
  void show_progress(bool force);
  bool server_reachable(std::string* reason);
  void drain_signals();
  void count_ahead();

  const RunSetup& setup_;
  TreeWalk* tree_;
  WalkState* state_;
  SupervisorOptions options_;
  WalkCounts counts_;
  std::vector<Child> children_;
  std::deque<Pending> deferred_heavy_;
  int running_ = 0;
  int running_heavy_ = 0;
  bool walk_complete_ = false;
  bool stopping_ = false;
  WalkEnd end_ = WalkEnd::kCompleted;
  int stop_signal_ = 0;
  std::string state_error_;
  int signal_fd_ = -1;
  int null_fd_ = -1;
  pid_t self_ = 0;
  Clock::time_point started_;
  Clock::time_point last_progress_;
  Clock::time_point last_probe_;
  Clock::time_point last_sample_;
  bool probed_ = false;
  bool progress_shown_ = false;
  bool counted_ = false;
  std::uint64_t counted_files_ = 0;
};

}  // namespace tessary
