// The child runner, exercised with real tiny commands and shell scripts written by the tests.
#include "process/command.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "tests/harness.h"

namespace {

using tessary::Command;
using tessary::run_command;

struct RunResult {
  bool ok = false;
  std::vector<std::string> pieces;
  double seconds = 0;
  std::string joined() const {
    std::string all;
    for (const auto& p : pieces) all += p;
    return all;
  }
};

RunResult run(const Command& cmd) {
  RunResult r;
  auto start = std::chrono::steady_clock::now();
  r.ok = run_command(cmd, [&](const std::string& piece) {
    r.pieces.push_back(piece);
    return true;
  });
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

Command sh(const std::string& script, int limit = tessary::kConverterTimeLimitSeconds) {
  Command c;
  c.argv = {"sh", "-c", script};
  c.time_limit_seconds = limit;
  return c;
}

/// State letter of `pid` from /proc ("" when it is gone), and its process group.
std::string process_state(pid_t pid, long* pgrp = nullptr) {
  std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return "";
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string state;
  long ppid = 0, group = 0;
  fields >> state >> ppid >> group;
  if (pgrp) *pgrp = group;
  return state;
}

bool group_members_gone(pid_t pgid);

/// True when `pid` is gone or only a zombie, polling up to one second (a SIGKILL takes a moment
/// to land). Killed orphans are reaped by init, which on some machines takes a second or more,
/// so a zombie counts as ended.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::string state = process_state(pid);
    if (state.empty() || state == "Z") return true;
    usleep(10000);
  }
  return false;
}

/// True when no live (non-zombie) process of group `pgid` is left, polling up to one second.
bool group_gone(pid_t pgid) {
  for (int i = 0; i < 100; ++i) {
    if (group_members_gone(pgid)) return true;
    usleep(10000);
  }
  return false;
}

bool group_members_gone(pid_t pgid) {
  std::istringstream listing(harness::run_process({"ls", "/proc"}).out);
  std::string entry;
  while (listing >> entry) {
    pid_t pid = static_cast<pid_t>(std::atol(entry.c_str()));
    long group = 0;
    std::string state = pid > 0 ? process_state(pid, &group) : "";
    if (!state.empty() && state != "Z" && group == pgid) return false;
  }
  return true;
}

std::vector<pid_t> read_pids(const std::string& path) {
  std::vector<pid_t> pids;
  std::istringstream in(harness::read_file(path));
  long pid;
  while (in >> pid) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

TEST(CommandPieces, SplitAfterLineFeedsAndAtTheEnd) {
  RunResult r = run(Command{{"printf", "a\\nbb\\n\\nccc"}, {}, 30});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.pieces, (std::vector<std::string>{"a\n", "bb\n", "\n", "ccc"}));
}

TEST(CommandPieces, LongLinesSplitAt49998Bytes) {
  // 49997 + LF fits one piece; 49998 + LF does not; 2 * 49998 + 5 + LF takes three.
  RunResult r = run(sh("x() { head -c \"$1\" /dev/zero | tr '\\0' \"$2\"; echo; }; x 49997 a; x 49998 b; x 100001 c"));
  ASSERT_TRUE(r.ok);
  std::vector<std::string> want = {std::string(49997, 'a') + "\n", std::string(49998, 'b'), "\n",
                                   std::string(49998, 'c'), std::string(49998, 'c'), "ccccc\n"};
  ASSERT_EQ(r.pieces.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(r.pieces[i], want[i]) << "piece " << i;
}

TEST(CommandPieces, ZeroByteCutsThePiece) {
  // The rest of a piece after a zero byte is lost; a piece starting with one is still a piece.
  RunResult r = run(Command{{"printf", "ab\\000cd\\nef\\n\\000gh\\nij"}, {}, 30});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.pieces, (std::vector<std::string>{"ab", "ef\n", "", "ij"}));
}

TEST(CommandStart, MissingOrUnexecutableProgramComplainsLikeAShell) {
  harness::TempDir dir;
  harness::write_file(dir.file("plain"), "echo hi\n");  // mode 0644: not executable
  testing::internal::CaptureStderr();
  RunResult missing = run(Command{{"tessary-no-such-tool", "x"}, {}, 30});
  RunResult not_exec = run(Command{{dir.file("plain")}, {}, 30});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(missing.ok);
  EXPECT_TRUE(missing.pieces.empty());
  EXPECT_TRUE(not_exec.ok);
  EXPECT_TRUE(not_exec.pieces.empty());
  EXPECT_NE(err.find("tessary-no-such-tool: command not found\n"), std::string::npos) << err;
  EXPECT_NE(err.find(dir.file("plain") + ": Permission denied\n"), std::string::npos) << err;
}

TEST(CommandStart, FailingCommandGivesItsOutputAndItsStderrPassesThrough) {
  testing::internal::CaptureStderr();
  RunResult r = run(sh("echo out; echo complaint-on-stderr >&2; exit 3"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.joined(), "out\n");
  EXPECT_NE(err.find("complaint-on-stderr"), std::string::npos);
}

TEST(CommandStart, NoPipeOrProcessIsOpenFailed) {
  testing::internal::CaptureStderr();
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 3;  // 0, 1 and 2 are open: no descriptor is left for a pipe
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  errno = 0;
  RunResult r = run(Command{{"true"}, {}, 30});
  int err = errno;
  setrlimit(RLIMIT_NOFILE, &saved);
  errno = err;
  tessary::report_open_failed();
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(err, EMFILE);
  EXPECT_EQ(out, "open failed: Too many open files\n");
}

TEST(CommandChild, StdinIsDevNullAndOnlyStdoutIsOurPipe) {
  RunResult cat = run(Command{{"cat", "-"}, {}, 30});
  EXPECT_TRUE(cat.ok);
  EXPECT_TRUE(cat.pieces.empty());
  EXPECT_LT(cat.seconds, 1.0);

  // The pipe's write end reaches the tool once, as its stdout; the read end not at all.
  RunResult fds = run(sh("cd /proc/$$/fd && for f in *; do echo \"$f $(readlink $f)\"; done"));
  std::istringstream in(fds.joined());
  std::string fd, target, stdout_pipe;
  std::vector<std::string> targets;
  while (in >> fd >> target) {
    if (fd == "0") {
      EXPECT_EQ(target, "/dev/null");
    }
    if (fd == "1") stdout_pipe = target;
    targets.push_back(target);
  }
  ASSERT_EQ(stdout_pipe.compare(0, 5, "pipe:"), 0) << fds.joined();
  EXPECT_EQ(std::count(targets.begin(), targets.end(), stdout_pipe), 1) << fds.joined();
}

TEST(CommandChild, DefaultSignalsEmptyMaskOwnProcessGroup) {
  // Whatever the caller ignores or blocks, the tool starts with defaults.
  auto old_pipe = signal(SIGPIPE, SIG_IGN);
  auto old_int = signal(SIGINT, SIG_IGN);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  RunResult status = run(Command{{"cat", "/proc/self/status"}, {}, 30});
  RunResult stat = run(Command{{"cat", "/proc/self/stat"}, {}, 30});
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGPIPE, old_pipe);
  signal(SIGINT, old_int);

  std::string text = status.joined();
  EXPECT_NE(text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << text;
  // glibc keeps its two internal signals (32 and 33) ignored in every child it spawns; every
  // other signal must be back at its default.
  std::size_t ign = text.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos);
  unsigned long long ignored = std::strtoull(text.c_str() + ign + 8, nullptr, 16);
  EXPECT_EQ(ignored & ~0x180000000ull, 0u) << text.substr(ign, 25);
  // /proc/self/stat: pid (comm) state ppid pgrp ...
  std::string s = stat.joined();
  std::istringstream fields(s.substr(s.rfind(')') + 2));
  std::string state;
  long ppid = 0, pgrp = 0;
  fields >> state >> ppid >> pgrp;
  EXPECT_EQ(pgrp, std::atol(s.c_str())) << s;
  EXPECT_NE(pgrp, static_cast<long>(getpgrp()));
}

TEST(CommandArgs, TortureStringsReachTheToolAsOneArgumentEach) {
  harness::TempDir dir;
  std::string torture = "-";
  for (int b = 1; b < 256; ++b)
    if (b != '/') torture += static_cast<char>(b);
  torture += " '\"$(touch " + dir.file("PWNED") + ")`touch " + dir.file("PWNED") + "`\\ \n$HOME '";
  const std::string script = dir.file("echo-args");
  harness::write_script(script,
                        "#!/bin/sh\nprintf %s \"$#\" > \"$0.count\"\nprintf %s \"$1\"\nprintf %s \"$2\" > \"$0.2\"\n"
                        "printf %s \"$TESSARY_TORTURE\" > \"$0.env\"\n");
  Command c{{script, torture, "-n"}, {"TESSARY_TORTURE=" + torture, "HOME=/elsewhere"}, 30};
  RunResult r = run(c);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.joined(), torture);
  EXPECT_EQ(harness::read_file(script + ".count"), "2");
  EXPECT_EQ(harness::read_file(script + ".2"), "-n");
  EXPECT_EQ(harness::read_file(script + ".env"), torture);
  struct stat st;
  EXPECT_NE(stat(dir.file("PWNED").c_str(), &st), 0);

  // An added variable replaces one of the same name instead of adding a second entry.
  RunResult env = run(Command{{"sh", "-c", "printf %s \"$HOME\"; env | grep -c '^HOME='"}, {"HOME=/elsewhere"}, 30});
  EXPECT_EQ(env.joined(), "/elsewhere1\n");
}

TEST(CommandLimits, SinkStopsAfterSixPiecesOfAnEndlessTool) {
  std::string out;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(run_command(Command{{"yes"}, {}, 30}, tessary::append_pieces(&out, 6, 0)));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(out, "y\ny\ny\ny\ny\ny\n");
  EXPECT_LT(seconds, 2.0);  // closing the pipe ended `yes` at once
}

TEST(CommandLimits, ByteCapKeepsReadingAndDropsTheRest) {
  std::string out;
  // 3 MB without a line feed, then a marker line: all of it is read, only the cap is kept.
  Command c = sh("head -c 3000000 /dev/zero | tr '\\0' a; echo; echo done > \"$0\"");
  harness::TempDir dir;
  c.argv.push_back(dir.file("finished"));
  ASSERT_TRUE(run_command(c, tessary::append_pieces(&out, 0, 1000000)));
  EXPECT_EQ(out, std::string(1000000, 'a'));
  EXPECT_EQ(harness::read_file(dir.file("finished")), "done\n");

  // Dropping reads to the end as well (the producer would block on a full pipe otherwise).
  unlink(dir.file("finished").c_str());
  ASSERT_TRUE(run_command(c, tessary::drop_pieces()));
  EXPECT_EQ(harness::read_file(dir.file("finished")), "done\n");
}

TEST(CommandLimits, ToolPastItsLimitIsEndedWithItsWholeGroup) {
  harness::TempDir dir;
  const std::string pids = dir.file("pids");
  // The script, a grandchild `sleep` in the background and a foreground one.
  Command c = sh("echo early; sleep 100 & echo $$ $! > \"$0\"; sleep 100", 2);
  c.argv.push_back(pids);
  RunResult r = run(c);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.joined(), "early\n");  // what came before the limit is kept
  EXPECT_GE(r.seconds, 1.9);
  EXPECT_LT(r.seconds, 4.0);
  std::vector<pid_t> started = read_pids(pids);
  ASSERT_EQ(started.size(), 2u);
  for (pid_t pid : started) EXPECT_TRUE(process_gone(pid)) << pid;
  EXPECT_TRUE(group_gone(started[0]));
}

TEST(CommandLimits, ToolIgnoringSigtermIsKilled) {
  Command c = sh("trap '' TERM; echo x; while :; do sleep 1; done", 1);
  RunResult r = run(c);
  EXPECT_EQ(r.joined(), "x\n");
  EXPECT_GE(r.seconds, 0.9);
  EXPECT_LT(r.seconds, 4.0);  // limit, SIGTERM grace, SIGKILL
}

TEST(CommandLimits, WaitingAfterTheSinkStoppedKeepsTheLimit) {
  // The tool survives its closed pipe and would run forever.
  std::string out;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(run_command(sh("trap '' PIPE; while :; do echo x 2>/dev/null; done", 2),
                          tessary::append_pieces(&out, 1, 0)));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(out, "x\n");
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 4.0);
}

TEST(CommandLimits, BackgroundChildHoldingThePipeGetsAShortGrace) {
  harness::TempDir dir;
  // Output a straggler writes soon after the program ended is still read ...
  RunResult soon = run(sh("echo a; (sleep 0.3; echo b) &"));
  EXPECT_EQ(soon.joined(), "a\nb\n");
  EXPECT_LT(soon.seconds, 1.5);
  // ... one that keeps the pipe open is killed a moment after the program ended.
  Command c = sh("echo a; (echo $BASHPID > \"$0\"; exec sleep 100) & sleep 0.2", 30);
  c.argv = {"bash", "-c", c.argv[2], dir.file("pid")};
  RunResult late = run(c);
  EXPECT_EQ(late.joined(), "a\n");
  EXPECT_LT(late.seconds, 4.0);
  std::vector<pid_t> pids = read_pids(dir.file("pid"));
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_TRUE(process_gone(pids[0]));
}

}  // namespace

TEST(CommandArgs, PathArgumentKeepsToolsFromReadingNamesAsOptions) {
  EXPECT_EQ(tessary::path_argument("/srv/a.pdf"), "/srv/a.pdf");
  EXPECT_EQ(tessary::path_argument("a.pdf"), "a.pdf");
  EXPECT_EQ(tessary::path_argument("-rf x"), "./-rf x");
  EXPECT_EQ(tessary::path_argument("--accept=socket"), "./--accept=socket");
  EXPECT_EQ(tessary::path_argument("@args.pdf"), "@args.pdf");
  EXPECT_EQ(tessary::path_argument("@args.pdf", "@%"), "./@args.pdf");
  EXPECT_EQ(tessary::path_argument("%pipe%touch x", "@%"), "./%pipe%touch x");
  EXPECT_EQ(tessary::path_argument(""), "");
}
