#include "process/command.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process/run_state.h"
#include "process/unique_fd.h"

extern char** environ;

namespace tessary {

namespace {

using Clock = std::chrono::steady_clock;

/// After SIGTERM, how long the process group gets to end before SIGKILL.
constexpr auto kTermGrace = std::chrono::milliseconds(1500);
/// After the started program has ended, how long processes it left behind may keep the pipe
/// open and write. Past that they are killed: the program's own output is complete by then.
constexpr auto kLeaderGoneGrace = std::chrono::milliseconds(2000);
/// After the last kill, how long the pipe is drained of what was written before.
constexpr auto kDrainLimit = std::chrono::milliseconds(500);
/// Poll period when the kernel offers no pidfd to wait on.
constexpr int kFallbackTickMs = 20;
/// After SIGKILL, how long a group may take to end. A process in uninterruptible sleep (a hung
/// network file system, a dying disk) ignores even SIGKILL until the kernel lets go of it; the
/// run gives up on it rather than waiting for ever.
constexpr auto kKillLimit = std::chrono::seconds(10);

/// Frees a posix_spawn attribute or file-action object on every return path.
struct SpawnAttr {
  posix_spawnattr_t value;
  bool live = false;
  ~SpawnAttr() {
    if (live) posix_spawnattr_destroy(&value);
  }
};
struct SpawnActions {
  posix_spawn_file_actions_t value;
  bool live = false;
  ~SpawnActions() {
    if (live) posix_spawn_file_actions_destroy(&value);
  }
};

int remaining_ms(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>(left, 60 * 60 * 1000));
}

/// Moves `fd` above the standard descriptors (keeping close-on-exec), so that setting up the
/// child's stdin and stdout can never clobber it when the program runs with one of them closed.
int above_stdio(int fd) {
  if (fd > STDERR_FILENO) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

/// The environment of the tool: ours, with every "NAME=value" of `additions` replacing an entry
/// of the same name.
std::vector<std::string> tool_environment(const std::vector<std::string>& additions) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = std::any_of(additions.begin(), additions.end(), [&](const std::string& a) {
      return a.compare(0, a.find('='), name) == 0 && a.find('=') == name.size();
    });
    if (!replaced) env.push_back(std::move(entry));
  }
  env.insert(env.end(), additions.begin(), additions.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  p.reserve(strings.size() + 1);
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

/// Errors of posix_spawnp that mean the system could not make the pipe or the process, as
/// opposed to a program that cannot be executed.
bool is_resource_error(int err) {
  return err == EAGAIN || err == ENOMEM || err == EMFILE || err == ENFILE || err == ENOSYS;
}

/// Says why a program could not be executed, as a shell would.
void complain_not_executable(const std::string& name, int err) {
  const char* reason = (err == ENOENT && name.find('/') == std::string::npos) ? "command not found"
                                                                              : std::strerror(err);
  std::fprintf(stderr, "%s: %s\n", name.c_str(), reason);
  std::fflush(stderr);
}

/// The started program, its process group (same id) and a pidfd to wait on when available.
/// Whatever happens to the caller, the destructor kills the group and reaps the program, so no
/// zombie is left behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {
    // A signal that ends the run while the tool works must end the tool's group too.
    run_state_set_child_group(pid);
#ifdef SYS_pidfd_open
    pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#endif
  }
  ~Child() {
    if (!reaped_ && !abandoned_) {
      kill(-pid_, SIGKILL);
      reap();
    }
    run_state_set_child_group(0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int pidfd() const { return pidfd_.get(); }

  /// True once the program has ended. It stays a zombie until reap(), so its pid, which is also
  /// the id of its process group, cannot be given to another process meanwhile.
  bool ended() {
    if (reaped_) return true;
    for (;;) {
      siginfo_t info;
      std::memset(&info, 0, sizeof info);
      if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        return info.si_pid != 0;
      if (errno == EINTR) continue;
      // ECHILD: somebody else reaped it (SIGCHLD ignored); nothing is left to wait for.
      reaped_ = true;
      return true;
    }
  }

  /// Waits until the program has ended or `until` passes; true when it has ended.
  bool wait_until(Clock::time_point until) {
    while (!ended()) {
      int left = remaining_ms(until);
      if (left == 0) return false;
      if (pidfd_.get() >= 0) {
        pollfd p{pidfd_.get(), POLLIN, 0};
        poll(&p, 1, left);
      } else {
        poll(nullptr, 0, std::min(left, kFallbackTickMs));
      }
    }
    return true;
  }

  /// Ends the whole group: SIGTERM, a short grace, then SIGKILL (repeated each second). Returns
  /// once the program ended, or after kKillLimit with a message on stderr when it would not end;
  /// it is then left to the system and never waited for again.
  void terminate_group() {
    kill(-pid_, SIGTERM);
    if (wait_until(Clock::now() + kTermGrace)) return;
    const Clock::time_point give_up = Clock::now() + kKillLimit;
    do {
      kill(-pid_, SIGKILL);
      if (wait_until(std::min(give_up, Clock::now() + std::chrono::seconds(1)))) return;
    } while (Clock::now() < give_up);
    std::fprintf(stderr, "tessary: process %ld did not end after SIGKILL; leaving it behind\n",
                 static_cast<long>(pid_));
    std::fflush(stderr);
    abandoned_ = true;
  }

  /// Called once the program has ended: kills what is left of its group, then reaps it.
  void finish() {
    kill(-pid_, SIGKILL);
    reap();
  }

  /// True when terminate_group gave up on the program.
  bool abandoned() const { return abandoned_; }

 private:
  void reap() {
    if (reaped_ || abandoned_) return;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    run_state_set_child_group(0);
  }

  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  bool abandoned_ = false;
};

/// Cuts the output into the pieces that fgets(buf, 49999, f) gives and hands them to the sink.
class PieceSplitter {
 public:
  explicit PieceSplitter(const PieceSink& sink) : sink_(sink) { pending_.reserve(kPieceMax); }

  /// Feeds bytes; false once the sink asked to stop.
  bool feed(const char* data, std::size_t size) {
    while (size > 0 && !stopped_) {
      std::size_t room = kPieceMax - pending_.size();
      std::size_t take = std::min(room, size);
      const void* lf = std::memchr(data, '\n', take);
      bool line_end = lf != nullptr;
      if (line_end) take = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
      pending_.append(data, take);
      data += take;
      size -= take;
      if (line_end || pending_.size() == kPieceMax) emit();
    }
    return !stopped_;
  }

  /// End of output: a last piece without a line feed is handed over as it is.
  void finish() {
    if (!stopped_ && !pending_.empty()) emit();
  }

  bool stopped() const { return stopped_; }

 private:
  void emit() {
    // What follows a zero byte is lost, as with a C string.
    std::size_t nul = pending_.find('\0');
    if (nul != std::string::npos) pending_.resize(nul);
    if (!sink_(pending_)) stopped_ = true;
    pending_.clear();
  }

  const PieceSink& sink_;
  std::string pending_;
  bool stopped_ = false;
};

enum class ReadEnd { kEndOfOutput, kSinkStopped, kWouldBlock };

/// Reads what the pipe holds right now into the splitter.
ReadEnd read_available(int fd, PieceSplitter* splitter) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!splitter->feed(buf, static_cast<std::size_t>(n))) return ReadEnd::kSinkStopped;
      continue;
    }
    if (n == 0) return ReadEnd::kEndOfOutput;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadEnd::kWouldBlock;
    return ReadEnd::kEndOfOutput;  // a read error ends the output like its end
  }
}

/// Kills every other process that still holds an end of the pipe with inode `pipe_inode`: what
/// the tool started and let leave its process group (a daemon made with setsid) while it kept
/// the tool's output open. Nothing else can hold that pipe: it was made close-on-exec and given
/// to the tool alone. Such a process would otherwise outlive the run, holding its output.
void kill_pipe_holders(ino_t pipe_inode) {
  const std::string target = "pipe:[" + std::to_string(pipe_inode) + "]";
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    const std::string fd_dir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look into
    while (dirent* fd = readdir(fds)) {
      char link[64];
      const ssize_t n = readlinkat(dirfd(fds), fd->d_name, link, sizeof link - 1);
      if (n <= 0) continue;
      if (target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
        kill(static_cast<pid_t>(pid), SIGKILL);
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
}

/// Starts the program; returns its pid, or -1 with `*err` set.
pid_t spawn(const Command& cmd, int stdout_fd, int* err) {
  SpawnActions actions;
  SpawnAttr attr;
  int rc = posix_spawn_file_actions_init(&actions.value);
  if (rc != 0) return *err = rc, -1;
  actions.live = true;
  rc = posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions.value, stdout_fd, STDOUT_FILENO);
  if (rc != 0) return *err = rc, -1;

  rc = posix_spawnattr_init(&attr.value);
  if (rc != 0) return *err = rc, -1;
  attr.live = true;
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  // A group of its own, so the whole tree can be ended at once and a terminal's ctrl-c for us
  // is not what ends it; default dispositions and an empty mask, whatever ours are.
  rc = posix_spawnattr_setflags(&attr.value,
                                POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0) rc = posix_spawnattr_setpgroup(&attr.value, 0);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr.value, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attr.value, &none);
  if (rc != 0) return *err = rc, -1;

  std::vector<std::string> argv = cmd.argv;
  std::vector<std::string> env = tool_environment(cmd.env);
  std::vector<char*> argv_p = pointers(argv);
  std::vector<char*> env_p = pointers(env);
  pid_t pid = -1;
  rc = posix_spawnp(&pid, argv_p[0], &actions.value, &attr.value, argv_p.data(), env_p.data());
  if (rc != 0) return *err = rc, -1;
  return pid;
}

}  // namespace

std::string path_argument(const std::string& path, const char* also_special) {
  if (path.empty()) return path;
  const char first = path[0];
  const bool special = first == '-' || (first != '\0' && std::strchr(also_special, first) != nullptr);
  return special ? "./" + path : path;
}

bool run_command(const Command& cmd, const PieceSink& sink) {
  if (cmd.argv.empty()) {
    errno = EINVAL;
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  UniqueFd read_end(above_stdio(fds[0]));
  UniqueFd write_end(above_stdio(fds[1]));
  if (read_end.get() < 0 || write_end.get() < 0) return false;
  struct stat pipe_status {};
  if (fstat(read_end.get(), &pipe_status) != 0) return false;
  // Only our end is non-blocking; the tool writes to a blocking pipe as it expects. A read end
  // left blocking would stall the loop below in read() and defeat the time limit.
  const int flags = fcntl(read_end.get(), F_GETFL);
  if (flags < 0 || fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return false;

  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(cmd.time_limit_seconds, 0));
  int err = 0;
  // The handled signals are held off from before the tool exists until its group is published
  // to the crash handler: a signal in between would end the run and leave the tool running
  // with no time limit. The tool itself starts with an empty mask.
  sigset_t handled, previous;
  sigemptyset(&handled);
  for (int s : {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT}) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, &previous);
  pid_t pid = spawn(cmd, write_end.get(), &err);
  if (pid > 0) run_state_set_child_group(pid);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  write_end.reset();  // the tool holds the only write end now, so its end gives end of output
  if (pid < 0) {
    if (is_resource_error(err)) {
      errno = err;
      return false;
    }
    complain_not_executable(cmd.argv[0], err);
    return true;
  }
  Child child(pid);
  PieceSplitter splitter(sink);

  // Read until end of output, until the sink is satisfied or until the time limit. When the
  // program ends while something it started still holds the pipe, that straggler gets a short
  // grace and is then killed with the rest of the group.
  bool output_ended = false;
  bool timed_out = false;
  bool leader_gone = false;
  bool poll_failed = false;
  Clock::time_point straggler_deadline = deadline;
  while (!output_ended && !splitter.stopped()) {
    Clock::time_point until = std::min(deadline, straggler_deadline);
    int left = remaining_ms(until);
    if (left == 0) {
      timed_out = Clock::now() >= deadline;
      break;
    }
    pollfd p[2] = {{read_end.get(), POLLIN, 0}, {child.pidfd(), POLLIN, 0}};
    nfds_t count = (!leader_gone && child.pidfd() >= 0) ? 2 : 1;
    if (!leader_gone && child.pidfd() < 0) left = std::min(left, kFallbackTickMs);
    int ready = poll(p, count, left);
    if (ready < 0 && errno != EINTR) {
      // Nothing can be waited for any more: end the tool now and keep what it wrote.
      poll_failed = true;
      break;
    }
    if (ready > 0 && p[0].revents != 0) {
      ReadEnd end = read_available(read_end.get(), &splitter);
      if (end == ReadEnd::kEndOfOutput) output_ended = true;
    }
    if (!leader_gone && child.ended()) {
      leader_gone = true;
      straggler_deadline = Clock::now() + kLeaderGoneGrace;
    }
  }

  if (splitter.stopped()) read_end.reset();  // the tool sees a closed pipe, as after pclose
  if (timed_out || poll_failed || !child.wait_until(deadline)) child.terminate_group();
  child.finish();
  // The group is gone; whatever still holds the pipe left the group on purpose. (Output that
  // reached its end has no writer left, so the process table is searched only otherwise.)
  if (!output_ended) kill_pipe_holders(pipe_status.st_ino);

  // What was written before the end still counts; a writer that escaped the kill above cannot
  // hold us up for long.
  if (!output_ended && !splitter.stopped()) {
    Clock::time_point drain_until = Clock::now() + kDrainLimit;
    while (remaining_ms(drain_until) > 0) {
      pollfd p{read_end.get(), POLLIN, 0};
      int ready = poll(&p, 1, remaining_ms(drain_until));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      if (read_available(read_end.get(), &splitter) != ReadEnd::kWouldBlock) break;
    }
  }
  splitter.finish();
  return true;
}

void split_into_pieces(const std::string& output, const PieceSink& sink) {
  PieceSplitter splitter(sink);
  if (splitter.feed(output.data(), output.size())) splitter.finish();
}

PieceSink append_pieces(std::string* out, std::size_t max_pieces, std::size_t max_bytes) {
  std::size_t pieces = 0;
  std::size_t bytes = 0;
  return [out, max_pieces, max_bytes, pieces, bytes](const std::string& piece) mutable {
    std::size_t take = piece.size();
    if (max_bytes != 0) take = std::min(take, max_bytes - bytes);
    out->append(piece, 0, take);
    bytes += take;
    ++pieces;
    return max_pieces == 0 || pieces < max_pieces;
  };
}

PieceSink drop_pieces() {
  return [](const std::string&) { return true; };
}

void report_open_failed() { std::perror("open failed"); }

}  // namespace tessary
