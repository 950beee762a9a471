// End-to-end runs that end early or meet an unusual peer: the file's times are put back on every
// end, a signal leaves no spreadsheet directory behind, a digest that cannot be read whole is no
// digest, and the record survives a server that answers or never closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "process/unique_fd.h"
#include "tests/harness.h"

namespace {

const std::string kTinyPdf = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
// An access time long past, so that reading the file (relatime) changes it.
const timespec kOldAccess{1000000000, 123456789};
const timespec kOldModification{1000000100, 987654321};

void set_old_times(const std::string& path) {
  const timespec times[2] = {kOldAccess, kOldModification};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void expect_old_times(const std::string& path) {
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, kOldAccess.tv_sec) << path;
  EXPECT_EQ(st.st_atim.tv_nsec, kOldAccess.tv_nsec) << path;
  EXPECT_EQ(st.st_mtim.tv_sec, kOldModification.tv_sec) << path;
  EXPECT_EQ(st.st_mtim.tv_nsec, kOldModification.tv_nsec) << path;
}

/// Runs the program on `path` with a fake `tool` (shell `body`) first on PATH; once the tool has
/// started, sends SIGTERM to the program and returns its result.
harness::ProcessResult run_and_terminate(harness::Sandbox& box, const std::string& path, const std::string& tool,
                                         const std::string& body) {
  const std::string bin = box.root.file("bin");
  mkdir(bin.c_str(), 0755);
  const std::string marker = box.root.file("tool-started");
  harness::write_script(bin + "/" + tool, "#!/bin/sh\n" + body + "touch '" + marker + "'\nsleep 3221\n");
  harness::ProcessResult result;
  std::thread runner([&] { result = box.run({path}, {{"PATH", bin + ":" + std::string(getenv("PATH"))}}, 60); });
  for (int i = 0; i < 1000 && access(marker.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const pid_t pid = harness::find_program_process(path);
  EXPECT_NE(pid, 0);
  if (pid != 0) kill(pid, SIGTERM);
  runner.join();
  return result;
}

}  // namespace

TEST(RunEnds, SignalDuringAToolPutsTheTimesBackAndLeavesNoDirectory) {
  harness::Receiver receiver;
  {
    SCOPED_TRACE("PDF tool");
    harness::Sandbox box;
    box.set_config(harness::default_config(receiver.port()));
    const std::string path = box.root.file("Hang.pdf");
    harness::write_file(path, kTinyPdf);
    set_old_times(path);
    const auto result = run_and_terminate(box, path, "gs", "");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(box.error_log().find(" # " + path + "\n"), std::string::npos) << box.error_log();
    expect_old_times(path);
  }
  {
    SCOPED_TRACE("spreadsheet conversion");
    harness::Sandbox box;
    auto config = harness::default_config(receiver.port());
    const std::string work = box.root.file("work") + "/";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    config[8] = work;
    box.set_config(config);
    const std::string path = box.root.file("Budget.xlsx");
    harness::write_file(path, harness::minimal_ooxml("xl/workbook.xml"));
    set_old_times(path);
    // The converter has begun writing its csv into the private directory when the signal comes.
    const auto result = run_and_terminate(
        box, path, "libreoffice",
        "while [ $# -gt 0 ]; do [ \"$1\" = --outdir ] && out=\"$2\"; shift; done\n"
        "echo 'a,b' > \"${out}budget.csv\"\nmkdir \"${out}.scratch\" && touch \"${out}.scratch/x\"\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(harness::directory_entries(work), std::vector<std::string>{});
    expect_old_times(path);
    EXPECT_TRUE(harness::processes_matching("sleep 3221").empty());
  }
  EXPECT_TRUE(receiver.wait_connections(1, 200).empty());
}

TEST(RunEnds, ToolThatCannotStartPutsTheTimesBack) {
  if (!harness::have_tool("setpriv") || !harness::have_tool("prlimit")) GTEST_SKIP() << "util-linux not installed";
  harness::Receiver receiver;
  harness::Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  // An unprivileged run that may have no second process: Ghostscript cannot be started at all.
  chmod(box.root.path.c_str(), 0755);
  chmod(box.etc_dir.c_str(), 0755);
  const std::string path = box.root.file("Paper.pdf");
  harness::write_file(path, kTinyPdf);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  set_old_times(path);
  box.exec_prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "prlimit", "--nproc=1:1", "--"};
  // LeakSanitizer (in the sanitizer build) needs a process of its own at the end: not here.
  const auto result = box.run({path}, {{"ASAN_OPTIONS", "detect_leaks=0"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("open failed: "), std::string::npos) << result.err;
  expect_old_times(path);
  EXPECT_TRUE(receiver.wait_connections(1, 200).empty());
}

TEST(RunEnds, DigestReadErrorIsNoDigest) {
  // /proc/PID/mem is a regular file of size 0 whose first read fails (nothing is mapped at 0).
  harness::Receiver receiver;
  harness::Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const pid_t sleeper = fork();
  if (sleeper == 0) {
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string path = "/proc/" + std::to_string(sleeper) + "/mem";
  const auto result = box.run({path});
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("tessary: cannot read " + path + " for the digest: "), std::string::npos) << result.err;
  const auto got = receiver.wait_connections(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(harness::parse_record(got[0])["#MD5#"], "nicht berechnet");
}

namespace {

/// A server for one connection: `serve` gets the accepted socket and returns what it read.
class OneShotServer {
 public:
  explicit OneShotServer(std::function<std::string(int)> serve) {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.get(), 1) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, serve] {
      tessary::UniqueFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection.valid()) received_ = serve(connection.get());
    });
  }
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  /// Waits for the connection's end; what the server read.
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  tessary::UniqueFd listener_;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
};

std::string read_to_end(int fd) {
  std::string data;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) data.append(buffer, static_cast<std::size_t>(n));
  return data;
}

}  // namespace

TEST(RunEnds, RecordSurvivesAServerThatAnswersOrNeverCloses) {
  harness::Sandbox box;
  // Some 18 MB of record: more than the socket buffers hold, so that the last part of it is
  // still on its way when the program is done sending.
  std::string text;
  for (int i = 0; i < 300000; ++i) text += std::string(59, static_cast<char>('a' + i % 26)) + "\n";
  const std::string path = box.root.file("big.txt");
  harness::write_file(path, text);
  auto config = harness::default_config(0);
  config[4] = "300000";

  {
    SCOPED_TRACE("a server that answers the first bytes and reads slowly");
    OneShotServer server([](int fd) {
      char first = 0;
      if (read(fd, &first, 1) != 1) return std::string();
      if (write(fd, "+OK\r\n", 5) != 5) return std::string();
      // A slow reader: the program finishes sending long before the server has read it all.
      std::string data(1, first);
      char buffer[65536];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        data.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
      }
      return data;
    });
    config[1] = std::to_string(server.port());
    box.set_config(config);
    const auto result = box.run({path});
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string received = server.received();
    std::string record, rest;
    ASSERT_TRUE(harness::split_delivery(received, &record, &rest)) << received.size() << " bytes arrived";
    EXPECT_EQ(rest, "quit\r\n");
    EXPECT_GT(record.size(), 16000000u);
  }
  {
    SCOPED_TRACE("a server that never closes");
    OneShotServer server([](int fd) {
      std::string data = read_to_end(fd);
      std::this_thread::sleep_for(std::chrono::seconds(6));
      return data;
    });
    config[1] = std::to_string(server.port());
    box.set_config(config);
    const std::string small = box.root.file("small.txt");
    harness::write_file(small, "a few words\n");
    const auto result = box.run({small});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_LT(result.seconds, 6.0) << "waiting for the server's close is bounded";
    std::string record, rest;
    ASSERT_TRUE(harness::split_delivery(server.received(), &record, &rest));
    EXPECT_EQ(rest, "quit\r\n");
  }
}
