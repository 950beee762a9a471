#include "walk/supervisor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/crash_log.h"
#include "process/run_state.h"

namespace tessary {
namespace {

/// Heavy kinds wait in a queue of this length at most; beyond it the walk waits for a slot.
constexpr std::size_t kDeferredMax = 64;
/// How often the private memory of running children is sampled.
constexpr auto kMemorySample = std::chrono::milliseconds(50);
/// Time between SIGTERM (the run logs its crash-log line and ends its tool) and SIGKILL.
constexpr auto kTermGrace = std::chrono::seconds(2);
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
/// Least time between two checks whether the index server can be reached.
constexpr auto kProbeEvery = std::chrono::seconds(1);
constexpr int kProbeTimeoutMs = 5000;

/// Longest request a worker takes (a path is at most 4,095 bytes).
constexpr std::uint32_t kMaxRequest = 65536;

const int kHandledSignals[] = {SIGCHLD, SIGINT, SIGTERM, SIGHUP};

sigset_t handled_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kHandledSignals) sigaddset(&set, s);
  return set;
}

bool read_exact(int fd, void* data, std::size_t size) {
  auto* out = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// The worker: becomes a session of its own, undoes what the walk's process set up for itself,
// and runs each path it is given exactly as `tessary PATH` would, answering one byte per path.
// Ends (status 0) when its request pipe is closed.
[[noreturn]] void run_worker(const RunSetup& setup, pid_t parent, int null_fd, int requests, int replies) {
  setsid();
  // The worker ends (through its crash handler, ending its tool) when the walk is killed.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(kChildOrphaned);
  dup2(null_fd, STDIN_FILENO);
  close(null_fd);
  signal(SIGPIPE, SIG_DFL);
  install_crash_handler();
  crash_log_set_exit_status(kChildSignalled);
  run_state_set_silent_exit_status(kChildSilent);
  // Between files the stop signals wait: an idle worker has no run to log or end, and the walk
  // ends it by closing its requests (also when the walk dies: the pipe then ends).
  sigset_t none, idle;
  sigemptyset(&none);
  sigemptyset(&idle);
  sigaddset(&idle, SIGTERM);
  sigaddset(&idle, SIGINT);
  // The crash log keeps a pointer into the path: its buffer never moves.
  static std::string path;
  path.reserve(kMaxRequest);
  for (;;) {
    sigprocmask(SIG_SETMASK, &idle, nullptr);
    std::uint32_t length = 0;
    if (!read_exact(requests, &length, sizeof length) || length == 0 || length >= kMaxRequest) _exit(0);
    path.resize(length);
    if (!read_exact(requests, path.data(), length)) _exit(0);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const RunEnd end = run_path(setup, path);
    const char answer = static_cast<char>(end == RunEnd::kDelivered    ? kChildDelivered
                                          : end == RunEnd::kStatFailed ? kChildStatFailed
                                                                       : kChildNotDelivered);
    while (write(replies, &answer, 1) != 1)
      if (errno != EINTR) _exit(0);
  }
}

long long field_kib(const std::string& text, const char* name) {
  const std::size_t at = text.find(name);
  return at == std::string::npos ? 0 : std::strtoll(text.c_str() + at + std::strlen(name), nullptr, 10);
}

}  // namespace

bool heavy_by_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  if (extension.size() > 4) return false;
  for (char& c : extension) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  static const char* const kHeavy[] = {"doc", "docx", "xls", "xlsx", "exe", "dll", "com"};
  for (const char* h : kHeavy)
    if (extension == h) return true;
  return false;
}

std::vector<std::string> priming_samples() {
  std::string ascii;
  for (int line = 1; line <= 50; ++line)
    ascii += std::to_string(line) + " Index Record server Content file Archive Report Quarterly revenue\n";
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\nZweite Zeile mit \xE2\x82\xAC\n" + ascii;
  const std::string latin1 = "Gr\xFC\xDF" "e aus K\xF6ln\nZweite Zeile\n" + ascii;
  std::string utf16 = "\xFF\xFE";
  for (char c : ascii.substr(0, 400)) utf16 += std::string(1, c) + std::string(1, '\0');
  return {ascii,
          utf8,
          latin1,
          utf16,
          std::string("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n"),
          std::string("PK\x03\x04\x14\x00\x06\x00\x08\x00\x00\x00!\x00", 14) + "[Content_Types].xml",
          std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(504, '\0'),
          std::string("MZ\x90\x00\x03\x00\x00\x00\x04\x00", 10) + std::string(118, '\0'),
          std::string("ID3\x03\x00\x00\x00\x00\x00\x0A", 10) + std::string(64, '\0'),
          std::string("fLaC\x00\x00\x00\x22", 8) + std::string(34, '\0'),
          std::string()};
}

long long private_memory(pid_t pid) {
  const std::string name = "/proc/" + std::to_string(pid) + "/smaps_rollup";
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (got <= 0) return -1;
  const std::string text(buffer, static_cast<std::size_t>(got));
  // Pages shared with the walk (copy-on-write after fork) are Shared_*; the child's own are Private_*.
  return (field_kib(text, "Private_Clean:") + field_kib(text, "Private_Dirty:") + field_kib(text, "Swap:")) * 1024;
}

void end_session(pid_t session) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%d/stat", pid);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buffer[1024];
    const ssize_t got = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (got <= 0) continue;
    buffer[got] = '\0';
    // "pid (comm) state ppid pgrp session ...": comm may hold anything, so parse after the last ')'.
    const char* after = std::strrchr(buffer, ')');
    if (after == nullptr) continue;
    char state = 0;
    int ppid = 0, group = 0, sid = 0;
    if (std::sscanf(after + 1, " %c %d %d %d", &state, &ppid, &group, &sid) != 4 || sid != session) continue;
    if (group > 0) kill(-group, SIGKILL);
    kill(pid, SIGKILL);
  }
  closedir(proc);
}

void Supervisor::block_signals() {
  const sigset_t set = handled_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

Supervisor::Supervisor(const RunSetup& setup, TreeWalk* tree, WalkState* state, SupervisorOptions options)
    : setup_(setup), tree_(tree), state_(state), options_(options) {
  // Twice the jobs: a retired worker keeps its slot until it is reaped, and there are never more
  // than `jobs` of those beside `jobs` busy ones, so a start always finds a slot.
  children_.resize(static_cast<std::size_t>(2 * std::max(1, options_.jobs)));
  const sigset_t set = handled_set();
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  null_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  self_ = getpid();
  started_ = last_progress_ = Clock::now();
}

Supervisor::~Supervisor() {
  if (signal_fd_ >= 0) close(signal_fd_);
  if (null_fd_ >= 0) close(null_fd_);
}

double Supervisor::elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

void Supervisor::note_failure(const std::string& path) {
  if (options_.failures == nullptr) return;
  std::fwrite(path.data(), 1, path.size(), options_.failures);
  std::fputc(options_.null_separated ? '\0' : '\n', options_.failures);
}

bool Supervisor::next_pending(Pending* pending) {
  for (;;) {
    if (!deferred_heavy_.empty() && running_heavy_ < options_.heavy_jobs) {
      *pending = std::move(deferred_heavy_.front());
      deferred_heavy_.pop_front();
      return true;
    }
    if (walk_complete_ || deferred_heavy_.size() >= kDeferredMax) return false;
    Entry entry;
    if (!tree_->next(&entry)) {
      walk_complete_ = true;
      continue;
    }
    switch (entry.kind) {
      case EntryKind::kExcluded: ++counts_.excluded; continue;
      case EntryKind::kSpecial: ++counts_.special; continue;
      case EntryKind::kUnreadable:
        ++counts_.unreadable;
        show_progress(false);
        std::fprintf(stderr, "%stessary-walk: %s\n", progress_shown_ ? "\r\033[K" : "", entry.message.c_str());
        note_failure(entry.path);
        continue;
      case EntryKind::kFile: break;
    }
    ++counts_.found;
    Known known = Known::kNew;
    std::string reason;
    if (!state_->lookup(entry.path, entry.status, &known, &reason, &state_error_)) {
      end_ = WalkEnd::kStateError;
      return false;
    }
    if (known == Known::kUnchanged && !options_.full) {
      ++counts_.unchanged;
      continue;
    }
    if (known == Known::kPoison && !options_.retry_failed) {
      ++counts_.skipped_poison;
      note_failure(entry.path);
      continue;
    }
    Pending next{std::move(entry.path), entry.status};
    if (heavy_by_name(next.path) && running_heavy_ >= options_.heavy_jobs) {
      deferred_heavy_.push_back(std::move(next));
      continue;
    }
    *pending = std::move(next);
    return true;
  }
}

bool Supervisor::spawn(Child* child) {
  int requests[2], replies[2];
  if (pipe2(requests, O_CLOEXEC) != 0) return false;
  if (pipe2(replies, O_CLOEXEC) != 0) {
    close(requests[0]);
    close(requests[1]);
    return false;
  }
  // Nothing buffered may be written twice by the worker.
  if (options_.failures != nullptr) std::fflush(options_.failures);
  const pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {requests[0], requests[1], replies[0], replies[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
    // Only its own ends of its own pipes: another worker must see its requests end when the
    // walk closes them.
    for (Child& other : children_) {
      other.request.reset();
      other.reply.reset();
    }
    close(requests[1]);
    close(replies[0]);
    close(signal_fd_);
    run_worker(setup_, self_, null_fd_, requests[0], replies[1]);
  }
  close(requests[0]);
  close(replies[1]);
  child->pid = pid;
  child->request.reset(requests[1]);
  child->reply.reset(replies[0]);
  child->files = 0;
  return true;
}

bool Supervisor::start(Pending pending) {
  // An idle worker, else a free slot for a new one; a retired worker (its requests closed) is
  // still ending and takes nothing more.
  auto slot = std::find_if(children_.begin(), children_.end(),
                           [](const Child& c) { return !c.busy && c.pid != 0 && c.request.valid(); });
  if (slot == children_.end())
    slot = std::find_if(children_.begin(), children_.end(), [](const Child& c) { return c.pid == 0; });
  Child& child = *slot;
  child.path = std::move(pending.path);
  child.before = pending.status;
  child.heavy = heavy_by_name(child.path);
  child.cause = Cause::kNone;
  child.terminated = false;
  child.started = Clock::now();
  child.deadline = child.started + std::chrono::seconds(options_.time_limit_seconds);
  child.kill_at = Clock::time_point::max();
  if (child.pid == 0 && !spawn(&child)) {
    std::fprintf(stderr, "tessary-walk: %s: cannot start a process for it: %s\n", child.path.c_str(), std::strerror(errno));
    ++counts_.crashed;
    note_failure(child.path);
    return false;
  }
  const std::uint32_t length = static_cast<std::uint32_t>(child.path.size());
  std::string request(reinterpret_cast<const char*>(&length), sizeof length);
  request += child.path;
  // The pipe is empty (the worker answered its last file), so the request fits at once.
  const char* data = request.data();
  std::size_t left = request.size();
  while (left > 0) {
    const ssize_t wrote = write(child.request.get(), data, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;  // the worker is gone: its exit is accounted for when it is reaped
    data += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
  child.busy = true;
  ++child.files;
  ++running_;
  if (child.heavy) ++running_heavy_;
  return true;
}

void Supervisor::fail(const Child& child, std::uint64_t* counter, const char* reason, bool poison) {
  ++*counter;
  note_failure(child.path);
  if (options_.progress && progress_shown_) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "tessary-walk: %s: %s\n", child.path.c_str(), reason);
  if (poison && end_ != WalkEnd::kStateError && !state_->mark_poison(child.path, child.before, reason, &state_error_)) {
    end_ = WalkEnd::kStateError;
    stopping_ = true;
    stop_children();
  }
}

void Supervisor::finish(Child* child, bool exited, int code) {
  --running_;
  if (child->heavy) --running_heavy_;
  child->busy = false;

  if (exited && code == kChildDelivered) {
    ++counts_.indexed;
    probed_ = false;
    // The run put the times back, which changed the status-change time: remember the file as
    // it is now, unless it changed while it was indexed (then the next walk indexes it again).
    struct stat after {};
    if (end_ != WalkEnd::kStateError && stat(child->path.c_str(), &after) == 0 &&
        after.st_size == child->before.st_size && after.st_mtim.tv_sec == child->before.st_mtim.tv_sec &&
        after.st_mtim.tv_nsec == child->before.st_mtim.tv_nsec && after.st_ino == child->before.st_ino &&
        !state_->mark_delivered(child->path, after, &state_error_)) {
      end_ = WalkEnd::kStateError;
      stopping_ = true;
      stop_children();
    }
  } else if (child->cause == Cause::kStop || (exited && code == kChildOrphaned)) {
    ++counts_.interrupted;
  } else if (child->cause == Cause::kTimeLimit) {
    fail(*child, &counts_.timed_out, "timed out", true);
  } else if (child->cause == Cause::kMemory) {
    fail(*child, &counts_.memory, "memory", true);
  } else if (exited && code == kChildNotDelivered) {
    ++counts_.not_delivered;
    note_failure(child->path);
    std::string reason;
    if (!stopping_ && (!probed_ || Clock::now() - last_probe_ >= kProbeEvery)) {
      probed_ = true;
      last_probe_ = Clock::now();
      if (!server_reachable(&reason)) {
        if (options_.progress && progress_shown_) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "tessary-walk: the index server %s port %s cannot be reached (%s): stopping; "
                     "nothing more is marked as indexed\n",
                     setup_.config[kServerHost].c_str(), setup_.config[kServerPort].c_str(), reason.c_str());
        end_ = WalkEnd::kServerUnreachable;
        stopping_ = true;
        stop_children();
      }
    }
  } else if (exited && (code == kChildStatFailed || code == kChildSilent || code == 0)) {
    // The run reported the file (it vanished, or cannot be opened) and sent nothing by design.
    ++counts_.unreadable;
    note_failure(child->path);
  } else {
    fail(*child, &counts_.crashed, "crashed", true);
  }
  child->path.clear();
  child->path.shrink_to_fit();
}

void Supervisor::retire(Child* child) {
  // Closing its requests ends the worker; it is reaped like any other (and killed should it not
  // end within the grace time).
  child->request.reset();
  child->reply.reset();
  if (!child->terminated) {
    child->terminated = true;
    child->kill_at = Clock::now() + kTermGrace;
  }
}

bool Supervisor::has_free_slot() const {
  return std::any_of(children_.begin(), children_.end(),
                     [](const Child& c) { return c.pid == 0 || (!c.busy && c.request.valid()); });
}

void Supervisor::read_replies(const std::vector<pollfd>& ready) {
  for (const pollfd& p : ready) {
    if (p.revents == 0) continue;
    for (Child& child : children_) {
      if (child.reply.get() != p.fd || !child.busy) continue;
      char answer = 0;
      const ssize_t got = read(p.fd, &answer, 1);
      // An end of the pipe without an answer is the worker's end: accounted for when it is reaped.
      if (got == 1) {
        const bool long_file = Clock::now() - child.started >= kMemorySample;
        finish(&child, true, static_cast<unsigned char>(answer));
        // A worker that kept much of a big file's memory would carry it into the next file's
        // measure: it is replaced (checked after long files and every 32nd file).
        const bool grown = (long_file || child.files % 32 == 0) &&
                           static_cast<std::uint64_t>(std::max(0LL, private_memory(child.pid))) > options_.memory_limit / 4;
        if (child.files >= kFilesPerWorker || stopping_ || child.terminated || grown) retire(&child);
      }
      break;
    }
  }
}

void Supervisor::reap() {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    for (Child& child : children_) {
      if (child.pid != pid) continue;
      const bool exited = WIFEXITED(status);
      const int code = exited ? WEXITSTATUS(status) : -1;
      // A worker that ended in any other way than at the end of its requests may have left tools.
      if (child.busy || !exited || code != 0 || child.cause != Cause::kNone) end_session(pid);
      if (child.busy) {
        // The file it held ended the worker: a signal, a silent end, or the walk ended it. A
        // worker never exits with the answers of a completed file.
        finish(&child, exited, code == kChildDelivered || code == kChildNotDelivered ? -1 : code);
      }
      child.pid = 0;
      child.request.reset();
      child.reply.reset();
      child.cause = Cause::kNone;
      child.terminated = false;
      break;
    }
  }
}

void Supervisor::stop_children() {
  const auto now = Clock::now();
  for (Child& child : children_) {
    if (child.pid == 0) continue;
    if (!child.busy) {
      retire(&child);
      continue;
    }
    if (child.cause == Cause::kNone) child.cause = Cause::kStop;
    if (!child.terminated) {
      kill(child.pid, SIGTERM);
      child.terminated = true;
      child.kill_at = now + kTermGrace;
    }
  }
}

void Supervisor::check_timers() {
  const auto now = Clock::now();
  const bool sample = now - last_sample_ >= kMemorySample;
  if (sample) last_sample_ = now;
  for (Child& child : children_) {
    if (child.pid == 0) continue;
    if (!child.busy) {
      // A retired worker that does not end on its own (it cannot happen unless it hangs).
      if (child.terminated && now >= child.kill_at) {
        kill(child.pid, SIGKILL);
        child.kill_at = Clock::time_point::max();
      }
      continue;
    }
    if (!child.terminated && now >= child.deadline) {
      child.cause = Cause::kTimeLimit;
      kill(child.pid, SIGTERM);
      child.terminated = true;
      child.kill_at = now + kTermGrace;
    }
    if (child.terminated && now >= child.kill_at) {
      kill(child.pid, SIGKILL);
      end_session(child.pid);
      child.kill_at = Clock::time_point::max();
    }
    // A child younger than one sampling period has had no time to grow; most are gone by then.
    if (sample && child.cause == Cause::kNone && now - child.started >= kMemorySample) {
      const long long bytes = private_memory(child.pid);
      if (bytes > 0 && static_cast<std::uint64_t>(bytes) > options_.memory_limit) {
        child.cause = Cause::kMemory;
        kill(child.pid, SIGKILL);
        end_session(child.pid);
        child.terminated = true;
        child.kill_at = Clock::time_point::max();
      }
    }
  }
}

void Supervisor::show_progress(bool force) {
  if (!options_.progress) return;
  const auto now = Clock::now();
  if (!force && now - last_progress_ < kProgressEvery) return;
  last_progress_ = now;
  const bool counted = counted_ || (options_.counter == nullptr && walk_complete_);
  const std::string line = "\r" + format_progress(counts_, elapsed(), counted, counted_files_) + "\033[K";
  std::fputs(line.c_str(), stderr);
  progress_shown_ = true;
}

bool Supervisor::server_reachable(std::string* reason) {
  const std::string& host = setup_.config[kServerHost];
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(std::strtol(setup_.config[kServerPort].c_str(), nullptr, 10) & 0xffff));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int looked = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (looked != 0 || found == nullptr) {
    *reason = std::string("cannot resolve the host: ") + gai_strerror(looked);
    return false;
  }
  address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = poll(&p, 1, kProbeTimeoutMs);
      socklen_t length = sizeof error;
      if (ready <= 0) error = ready == 0 ? ETIMEDOUT : errno;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
  }
  close(fd);
  if (error != 0) *reason = std::strerror(error);
  return error == 0;
}

void Supervisor::count_ahead() {
  if (options_.counter == nullptr || counted_) return;
  Entry entry;
  for (int step = 0; step < 2000; ++step) {
    if (!options_.counter->next(&entry)) {
      counted_ = true;
      return;
    }
    if (entry.kind == EntryKind::kFile) ++counted_files_;
  }
}

void Supervisor::drain_signals() {
  signalfd_siginfo info;
  while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int number = static_cast<int>(info.ssi_signo);
    if (number == SIGCHLD) continue;
    if (stopping_ && end_ == WalkEnd::kStopped) {
      // A second stop signal: no more grace.
      for (Child& child : children_)
        if (child.pid != 0) child.kill_at = Clock::now();
      continue;
    }
    if (end_ == WalkEnd::kCompleted) {
      end_ = WalkEnd::kStopped;
      stop_signal_ = number;
    }
    stopping_ = true;
    stop_children();
  }
}

WalkEnd Supervisor::run() {
  if (signal_fd_ < 0 || null_fd_ < 0) {
    std::fprintf(stderr, "tessary-walk: cannot set up the walk: %s\n", std::strerror(errno));
    state_error_ = "cannot set up the walk";
    return WalkEnd::kStateError;
  }
  std::vector<pollfd> waiting;
  bool finishing = false;
  for (;;) {
    while (!stopping_ && running_ < options_.jobs && has_free_slot()) {
      Pending pending;
      if (!next_pending(&pending)) break;
      start(std::move(pending));
    }
    if (end_ == WalkEnd::kStateError && !stopping_) {
      stopping_ = true;
      stop_children();
    }
    if (running_ == 0 && (stopping_ || (walk_complete_ && deferred_heavy_.empty()))) {
      // Every file is done: the workers end once their requests are closed.
      if (!finishing) {
        finishing = true;
        for (Child& child : children_) {
          if (child.pid == 0) continue;
          retire(&child);
          child.terminated = true;
          child.kill_at = Clock::now() + kTermGrace;
        }
      }
      if (std::none_of(children_.begin(), children_.end(), [](const Child& c) { return c.pid != 0; })) break;
    }

    // Sleep until an answer or a signal comes, or the nearest timer is due.
    auto wake = Clock::now() + kProgressEvery;
    if (running_ > 0) wake = std::min(wake, Clock::now() + kMemorySample);
    if (options_.counter != nullptr && !counted_) wake = Clock::now();
    waiting.assign(1, pollfd{signal_fd_, POLLIN, 0});
    for (const Child& child : children_) {
      if (child.pid == 0) continue;
      if (child.terminated) wake = std::min(wake, child.kill_at);
      if (!child.busy) continue;
      if (!child.terminated) wake = std::min(wake, child.deadline);
      waiting.push_back(pollfd{child.reply.get(), POLLIN, 0});
    }
    const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
    poll(waiting.data(), waiting.size(), static_cast<int>(std::clamp<long long>(wait_ms + 1, 0, 1000)));
    drain_signals();
    read_replies(waiting);
    reap();
    check_timers();
    count_ahead();
    show_progress(false);
    if (end_ != WalkEnd::kStateError && !state_->flush(false, &state_error_)) end_ = WalkEnd::kStateError;
  }
  if (end_ != WalkEnd::kStateError && !state_->flush(true, &state_error_)) end_ = WalkEnd::kStateError;
  if (options_.progress && progress_shown_) std::fputs("\r\033[K", stderr);
  return end_;
}

}  // namespace tessary
