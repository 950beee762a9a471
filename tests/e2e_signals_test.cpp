// SIGTERM and SIGINT at random moments of whole runs: right at the start, inside a converter
// (fake Ghostscript and metaflac that hang, the real libreoffice), while a large record is
// being sent to a receiver that does not read, and anywhere in an ordinary run. About thirty
// runs, four at a time, all log into one error log: every line of it must be whole and in the
// exact form, one per signalled run, every run ends with status 0, and no child outlives its run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Moment { kStart, kFakeGs, kFakeMetaflac, kRealOffice, kDelivery, kAnywhere };

const char* moment_name(Moment m) {
  switch (m) {
    case Moment::kStart: return "at start";
    case Moment::kFakeGs: return "inside gs";
    case Moment::kFakeMetaflac: return "inside metaflac";
    case Moment::kRealOffice: return "inside libreoffice";
    case Moment::kDelivery: return "during delivery";
    default: return "anywhere";
  }
}

/// A listener that accepts and never reads until it goes away, with a receive buffer so small
/// that a record of several MiB cannot be taken in: the sender blocks in the middle of it.
class StalledServer {
 public:
  StalledServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_, 16) != 0) ADD_FAILURE() << "listen";
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> lock(mutex_);
        if (c >= 0) held_.push_back(c);
      }
    });
  }
  ~StalledServer() {
    stop_ = true;
    thread_.join();
    for (int c : held_) close(c);
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int> held_;
};

/// True once the process catches `sig` (its handler is installed).
bool catches(pid_t pid, int sig) {
  const std::string status = harness::read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("SigCgt:\t");
  if (at == std::string::npos) return false;
  const unsigned long long mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (sig - 1)) & 1;
}

/// True when the process holds a socket (the run has reached its delivery).
bool has_socket(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : harness::directory_entries(dir)) {
    char link[128];
    const ssize_t n = readlink((dir + "/" + fd).c_str(), link, sizeof link - 1);
    if (n > 0 && std::string(link, static_cast<size_t>(n)).rfind("socket:", 0) == 0) return true;
  }
  return false;
}

/// True when `line` is "DD.MM.YYYY HH:MM:SS.micro # path" exactly: day, month, hour, minute and
/// second two digits each within their ranges, the year four digits, the microseconds one to
/// six digits without leading zeros. The path is left in `*path`.
bool log_line_form(const std::string& line, std::string* path) {
  auto number = [&](size_t at, size_t digits, int low, int high) {
    if (at + digits > line.size()) return false;
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (line[i] < '0' || line[i] > '9') return false;
      value = value * 10 + (line[i] - '0');
    }
    return value >= low && value <= high;
  };
  auto is = [&](size_t at, char c) { return at < line.size() && line[at] == c; };
  if (!(number(0, 2, 1, 31) && is(2, '.') && number(3, 2, 1, 12) && is(5, '.') && number(6, 4, 1970, 9999) &&
        is(10, ' ') && number(11, 2, 0, 23) && is(13, ':') && number(14, 2, 0, 59) && is(16, ':') &&
        number(17, 2, 0, 60) && is(19, '.')))
    return false;
  size_t end = 20;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  const size_t digits = end - 20;
  if (digits < 1 || digits > 6 || (digits > 1 && line[20] == '0')) return false;
  if (line.compare(end, 3, " # ") != 0) return false;
  *path = line.substr(end + 3);
  return true;
}

/// Waits until `ready()` or `timeout`; false on timeout.
bool wait_for(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  while (!ready()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

struct SignalledRun {
  Moment moment;
  std::string path;
  int sig = SIGTERM;
  int delay_ms = 0;
  bool signalled = false;  ///< the signal was sent while the program ran
  harness::ProcessResult result;
};

}  // namespace

TEST(Signals, RandomMomentsGiveOneWholeLogLineEach) {
  for (const char* tool : {"unshare", "setsid"})
    if (!harness::have_tool(tool)) GTEST_SKIP() << tool << " not installed";
  const std::string& office = dispatcher_fixtures::office_dir();
  if (office.empty()) GTEST_SKIP() << "libreoffice not installed";
  const auto test_start = Clock::now();

  const char* seed_text = getenv("TESSARY_SIGNAL_SEED");
  const unsigned seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                                  : static_cast<unsigned>(std::random_device{}());
  std::printf("[ signals  ] seed %u (TESSARY_SIGNAL_SEED repeats it)\n", seed);
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 rng(seed);

  harness::Receiver receiver;
  StalledServer stalled;
  // Three sandboxes, one error log: ordinary runs, runs whose configuration is a named pipe (so
  // they wait right at their start), and runs that deliver to the stalled server.
  harness::Sandbox box, start_box, slow_box;
  start_box.log_dir = slow_box.log_dir = box.log_dir;
  harness::write_file(box.log_dir + "/vq_error.log", "line from before\n");
  auto config = harness::default_config(receiver.port());
  config[9] = "false";
  box.set_config(config);
  ASSERT_EQ(mkfifo((start_box.etc_dir + "/config.cfg").c_str(), 0600), 0);
  auto slow_config = harness::default_config(stalled.port());
  slow_config[4] = "-1";  // the whole file
  slow_box.set_config(slow_config);

  const std::string files = box.root.file("files");
  const std::string bin = box.root.file("bin");
  const std::string tmpdir = box.root.file("tmp");
  for (const std::string& d : {files, bin, tmpdir}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  // Converters that hang with a child of their own, after saying they started.
  for (const char* tool : {"gs", "metaflac"})
    harness::write_script(bin + "/" + tool,
                          "#!/bin/sh\nfor last; do :; done\n: > \"$last.started\"\nsleep 60 &\nsleep 61\n");
  const std::string pdf_bytes = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
  std::string flac_bytes = "fLaC";
  flac_bytes += std::string("\x80\x00\x00\x22", 4) + std::string(34, '\x10');
  std::string big;  // about 8 MB of short lines: more than the socket buffers hold
  while (big.size() < (8u << 20)) big += "a line of text that is sent to a server that does not read it " + std::to_string(big.size()) + "\n";
  const std::string docx = harness::read_file(office + "/made/words.docx");
  ASSERT_FALSE(docx.empty());

  std::vector<SignalledRun> runs;
  const std::vector<std::pair<Moment, int>> plan = {{Moment::kStart, 6},    {Moment::kFakeGs, 5},
                                                    {Moment::kFakeMetaflac, 5}, {Moment::kRealOffice, 2},
                                                    {Moment::kDelivery, 6}, {Moment::kAnywhere, 6}};
  for (const auto& [moment, count] : plan)
    for (int i = 0; i < count; ++i) {
      SignalledRun run;
      run.moment = moment;
      run.sig = rng() % 2 ? SIGTERM : SIGINT;
      const std::string stem = files + "/run " + std::to_string(runs.size()) + " 'q' #";
      switch (moment) {
        case Moment::kFakeGs: run.path = stem + ".pdf", run.delay_ms = rng() % 300; break;
        case Moment::kFakeMetaflac: run.path = stem + ".flac", run.delay_ms = rng() % 300; break;
        case Moment::kRealOffice: run.path = stem + ".docx", run.delay_ms = 300 + rng() % 700; break;
        case Moment::kDelivery: run.path = stem + ".txt", run.delay_ms = rng() % 300; break;
        case Moment::kStart: run.path = stem + ".txt", run.delay_ms = rng() % 20; break;
        default: run.path = stem + ".txt", run.delay_ms = rng() % 40; break;
      }
      harness::write_file(run.path, moment == Moment::kFakeGs         ? pdf_bytes
                                    : moment == Moment::kFakeMetaflac ? flac_bytes
                                    : moment == Moment::kRealOffice   ? docx
                                    : moment == Moment::kDelivery     ? big
                                                                      : "Some text\nin two lines\n");
      runs.push_back(run);
    }
  std::shuffle(runs.begin(), runs.end(), rng);

  const std::string mark_value = "signals-" + std::to_string(getpid());
  // In the sanitizer build, LeakSanitizer checks for leaks when the program ends by itself, from a
  // tracer process that stops every thread of the program. A signal that lands during that
  // check runs the crash handler, which ends the program with the tracer still attached and
  // unreaped: the program then hangs for ever. Runs that get signals at random moments are
  // therefore checked for everything but leaks; every other suite checks leaks too.
  const std::map<std::string, std::string> env = {{"PATH", bin + ":" + std::string(getenv("PATH"))},
                                                  {"TMPDIR", tmpdir},
                                                  {"TESSARY_SIGNAL_MARK", mark_value},
                                                  {"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0"}};
  auto office_started = [&](const std::string& path) {
    for (const auto& p : harness::processes_with_environment("TESSARY_SIGNAL_MARK=" + mark_value))
      if (p.name == "soffice.bin" && p.command_line.find(path) != std::string::npos) return true;
    return false;
  };

  // Each run: start it, wait for its moment, wait the random delay, signal the program alone.
  auto one = [&](SignalledRun& run) {
    harness::Sandbox& target = run.moment == Moment::kStart ? start_box : run.moment == Moment::kDelivery ? slow_box : box;
    std::thread runner([&] { run.result = target.run({run.path}, env, 90); });
    const pid_t pid = harness::find_program_process(run.path, 20000);
    bool ready = pid != 0;
    if (ready) {
      switch (run.moment) {
        case Moment::kStart:
        case Moment::kAnywhere:
          ready = wait_for([&] { return catches(pid, run.sig); }, std::chrono::seconds(10));
          break;
        case Moment::kFakeGs:
        case Moment::kFakeMetaflac:
          ready = wait_for([&] { return access((run.path + ".started").c_str(), F_OK) == 0; }, std::chrono::seconds(20));
          break;
        case Moment::kRealOffice:
          ready = wait_for([&] { return office_started(run.path); }, std::chrono::seconds(30));
          break;
        case Moment::kDelivery:
          ready = wait_for([&] { return has_socket(pid); }, std::chrono::seconds(30));
          break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(run.delay_ms));
    // The program is our grandchild's exec image; while the runner has not reaped it, its pid
    // cannot be reused. Whether it still ran is told by its comm.
    run.signalled = ready && harness::read_file("/proc/" + std::to_string(pid) + "/comm") == "tessary\n" &&
                    kill(pid, run.sig) == 0;
    runner.join();
    EXPECT_TRUE(ready || run.moment == Moment::kAnywhere) << moment_name(run.moment) << ": never got there";
  };

  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (size_t k; (k = next++) < runs.size();) one(runs[k]);
    });
  for (auto& t : workers) t.join();

  // No child of any run is left: the tools, their children, libreoffice's processes.
  std::vector<harness::ProcessInfo> left;
  wait_for([&] { return (left = harness::processes_with_environment("TESSARY_SIGNAL_MARK=" + mark_value)).empty(); },
           std::chrono::seconds(3));
  for (const auto& p : left) {
    ADD_FAILURE() << "orphaned: " << p.pid << " " << p.name << " " << p.command_line;
    kill(p.pid, SIGKILL);
  }

  // A converter ended by the signal leaves no temporary file where the caller would find it
  // (libreoffice keeps a working directory in TMPDIR, which it removes only when it ends by
  // itself).
  for (const std::string& name : harness::directory_entries(tmpdir)) ADD_FAILURE() << "left in TMPDIR: " << name;

  // Every line of the shared log is whole and in the exact form.
  const std::string log = box.error_log();
  ASSERT_EQ(log.rfind("line from before\n", 0), 0u) << log.substr(0, 200);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), '\n');
  std::map<std::string, int> lines_for;
  std::istringstream in(log.substr(17));
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    std::string path;
    ASSERT_TRUE(log_line_form(line, &path)) << "not a whole line: [" << line << "]";
    ++lines_for[path];
  }

  // Records that arrived, by path.
  std::map<std::string, int> records_for;
  for (const std::string& data : receiver.connections()) {
    std::string record, rest;
    if (harness::split_delivery(data, &record, &rest) && rest == "quit\r\n")
      ++records_for[harness::parse_record(record)["#PFAD#"]];
  }

  std::map<std::string, int> signalled_in;
  std::set<std::string> known = {""};
  int logged_total = 0, starts_without_path = 0;
  for (const SignalledRun& run : runs) {
    known.insert(run.path);
    SCOPED_TRACE(std::string(moment_name(run.moment)) + " after " + std::to_string(run.delay_ms) + " ms, " +
                 (run.sig == SIGTERM ? "SIGTERM: " : "SIGINT: ") + run.path);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_FALSE(run.result.timed_out);
    const int logged = lines_for[run.path];
    const int recorded = records_for[harness::record_path(run.path)];
    logged_total += logged;
    EXPECT_LE(logged, 1);
    EXPECT_LE(recorded, 1);
    // Between the handler's installation and the storing of the path, a line's path is empty:
    // a run signalled at its start may have logged such a line instead of one with its path.
    const bool may_log_without_path = run.moment == Moment::kStart || run.moment == Moment::kAnywhere;
    if (run.moment == Moment::kAnywhere) {
      // Signalled before it ended: one line; or it ended first: its record, and no line. A
      // signal right after the record was sent gives both.
      if (logged || recorded) {
        if (logged) ++signalled_in[moment_name(run.moment)];
        continue;
      }
    }
    EXPECT_TRUE(run.signalled || run.moment == Moment::kAnywhere);
    EXPECT_EQ(recorded, 0) << "a signalled run sent its record";
    if (may_log_without_path && logged == 0) ++starts_without_path;
    else EXPECT_EQ(logged, 1);
    ++signalled_in[moment_name(run.moment)];
  }
  // Each run that logged no line of its own logged one without a path, and nothing else did.
  EXPECT_EQ(lines_for[""], starts_without_path);
  EXPECT_EQ(lines, logged_total + starts_without_path);
  for (const auto& kv : lines_for) EXPECT_TRUE(known.count(kv.first)) << "a line names no run: " << kv.first;

  std::printf("[ signals  ] %zu runs, %d log lines (%d signalled before the path was stored), %.1f s\n", runs.size(),
              lines, starts_without_path,
              std::chrono::duration<double>(Clock::now() - test_start).count());
  for (const auto& kv : signalled_in) std::printf("[ signals  ] %-20s %d signalled\n", kv.first.c_str(), kv.second);
}
