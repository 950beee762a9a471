// End-to-end runs of the built program at its real fixed paths (inside a private mount
// namespace) against a receiver on 127.0.0.1: the record bytes, the file's times, the digest
// switch, the orderly ends and the crash log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/harness.h"

using harness::Receiver;
using harness::Sandbox;

namespace {

// Bytes that libmagic calls application/octet-stream: no branch of the dispatcher reads them.
const std::string kOpaque("\x01\x02\x03\x04\xfe\xff\x00\x10 opaque", 15);

const std::regex kStampPattern(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{1,6})");

void set_times(const std::string& path, timespec access, timespec modification) {
  const timespec times[2] = {access, modification};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string ctime_utc(time_t t) {
  setenv("TZ", "UTC", 1);
  tzset();
  char buffer[64];
  std::string text = ctime_r(&t, buffer);
  unsetenv("TZ");
  tzset();
  return text.substr(0, text.size() - 1);
}

// The pid of the program's process working on `path`, once it has had time to arm its crash
// handler; 0 when none shows up within four seconds.
pid_t running_tessary(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (pid_t p : harness::processes_matching(path)) {
      if (harness::read_file("/proc/" + std::to_string(p) + "/comm") == "tessary\n") {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return p;
      }
    }
  }
  return 0;
}

}  // namespace

TEST(EndToEnd, RecordArrivesByteForByte) {
  Receiver receiver;
  Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const std::string path = box.root.file("Data O'Neil \"Q\".BIN");
  harness::write_file(path, kOpaque);
  set_times(path, {1700000000, 111}, {1699999999, 222});
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  const auto result = box.run({path}, {{"TZ", "UTC"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "");
  const auto got = receiver.wait_connections(1);
  ASSERT_EQ(got.size(), 1u);
  std::string record, rest;
  ASSERT_TRUE(harness::split_delivery(got[0], &record, &rest));
  EXPECT_EQ(rest, "quit\r\n");

  std::string lower_path = path;
  for (char& c : lower_path) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string record_path = lower_path;
  for (char& c : record_path)
    if (c == '\'' || c == '"') c = ' ';
  const std::string md5 = harness::run_process({"md5sum", path}).out.substr(0, 32);
  const std::string expected_head = "set '#PFAD#" + record_path + "#DATEINAME#data o'neil \"q\".bin" +
                                    "#LETZ.ZUG#2023-11-14 22:13:20#LETZT.MOD#2023-11-14 22:13:19#CREATE.DATAE#" +
                                    ctime_utc(before.st_ctim.tv_sec) + "#SIZE#15#MD5#" + md5 +
                                    "#INHALT#@@ENDE@@' '";
  ASSERT_EQ(record.substr(0, expected_head.size()), expected_head);
  const std::string stamp = record.substr(expected_head.size(), record.size() - expected_head.size() - 3);
  EXPECT_TRUE(std::regex_match(stamp, kStampPattern)) << stamp;
  EXPECT_EQ(record.substr(record.size() - 3), "'\r\n");
}

TEST(EndToEnd, TimesComeBackToTheNanosecond) {
  Receiver receiver;
  Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const std::string name = "times.bin";
  const std::string path = box.root.file(name);
  harness::write_file(path, kOpaque);
  for (const std::string& given : {path, name}) {
    set_times(path, {1600000000, 123456789}, {1500000000, 987654321});
    const auto result = box.run({given}, {}, 60, box.root.path);
    ASSERT_EQ(result.status, 0) << result.err;
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, 1600000000) << given;
    EXPECT_EQ(after.st_atim.tv_nsec, 123456789) << given;
    EXPECT_EQ(after.st_mtim.tv_sec, 1500000000) << given;
    EXPECT_EQ(after.st_mtim.tv_nsec, 987654321) << given;
  }
  const auto got = receiver.wait_connections(2);
  ASSERT_EQ(got.size(), 2u);
  // The relative path is sent as given; the file name is the same either way.
  EXPECT_EQ(harness::parse_record(got[1])["#PFAD#"], name);
  EXPECT_EQ(harness::parse_record(got[0])["#DATEINAME#"], name);
}

TEST(EndToEnd, DigestSwitchAndInputsWithoutEnd) {
  Receiver receiver;
  Sandbox box;
  const std::string path = box.root.file("d.bin");
  harness::write_file(path, kOpaque);
  const std::string fifo = box.root.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> expected;
  for (const char* value : {"True", "yes", "true ", ""}) {
    auto config = harness::default_config(receiver.port());
    config[9] = value;
    box.set_config(config);
    ASSERT_EQ(box.run({path}).status, 0);
  }
  box.set_config(harness::default_config(receiver.port()));
  // A named pipe without a writer would block a digest for ever: it is not digested.
  const auto result = box.run({fifo}, {}, 20);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0) << result.err;
  const auto got = receiver.wait_connections(5);
  ASSERT_EQ(got.size(), 5u);
  for (const auto& data : got) EXPECT_EQ(harness::parse_record(data)["#MD5#"], "nicht berechnet") << data;
}

TEST(EndToEnd, OrderlyEndsSendNothing) {
  Receiver receiver;
  Sandbox box;
  const std::string path = box.root.file("o.bin");
  harness::write_file(path, kOpaque);

  auto result = box.run({});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "usage: tessary PATH\n");

  result = box.run({path});  // no configuration file yet
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("/etc/vq/config.cfg"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("No such file or directory"), std::string::npos) << result.err;

  auto config = harness::default_config(receiver.port());
  config.resize(17);
  box.set_config(config);
  result = box.run({path});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("/etc/vq/config.cfg"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("17"), std::string::npos) << result.err;

  box.set_config(harness::default_config(receiver.port()));
  result = box.run({box.root.file("missing file")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(box.root.file("missing file")), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("No such file or directory"), std::string::npos) << result.err;

  // The digest cannot open the file: status 0, no record, but the reason is on stderr.
  chmod(box.root.path.c_str(), 0755);
  chmod(box.etc_dir.c_str(), 0755);
  chmod(path.c_str(), 0);
  box.exec_prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  result = box.run({path});
  box.exec_prefix.clear();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;

  EXPECT_TRUE(receiver.wait_connections(1, 300).empty());
  EXPECT_EQ(box.error_log(), "");
}

TEST(EndToEnd, ServerFaultsGiveAMessageAndStatusOne) {
  Sandbox box;
  const std::string path = box.root.file("s.bin");
  harness::write_file(path, kOpaque);
  int port = 0;
  {
    Receiver gone;  // a port that was free a moment ago: nothing listens there now
    port = gone.port();
  }
  auto config = harness::default_config(port);
  box.set_config(config);
  auto result = box.run({path});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("127.0.0.1"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(std::to_string(port)), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Connection refused"), std::string::npos) << result.err;

  config[0] = "no-such-host.invalid";
  box.set_config(config);
  result = box.run({path}, {}, 60);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("no-such-host.invalid"), std::string::npos) << result.err;
  EXPECT_EQ(box.error_log(), "");
}

TEST(EndToEnd, SignalsMidRunAreLoggedOnceWithStatusZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    Receiver receiver;
    Sandbox box;
    harness::write_file(box.log_dir + "/vq_error.log", "earlier line\n");
    // A configuration file that is a named pipe holds the run right after the path is stored.
    const std::string config_fifo = box.etc_dir + "/config.cfg";
    ASSERT_EQ(mkfifo(config_fifo.c_str(), 0600), 0);
    const std::string path = box.root.file("a 'b' # c.txt");
    harness::ProcessResult result;
    std::thread runner([&] { result = box.run({path}, {}, 30); });
    const pid_t pid = running_tessary(path);
    ASSERT_NE(pid, 0);
    kill(pid, sig);
    runner.join();
    EXPECT_EQ(result.status, 0) << sig;
    const std::string log = box.error_log();
    EXPECT_EQ(log.substr(0, 13), "earlier line\n");
    EXPECT_TRUE(std::regex_match(log, std::regex(R"(earlier line\n\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{1,6} # )" +
                                                 std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                                                    R"(\$&)") +
                                                 "\n")))
        << log;
    EXPECT_TRUE(receiver.wait_connections(1, 200).empty());
  }
}

TEST(EndToEnd, CrashLogThatCannotBeOpenedLeavesNoTrace) {
  Sandbox box;
  ASSERT_EQ(mkdir((box.log_dir + "/vq_error.log").c_str(), 0755), 0);
  const std::string config_fifo = box.etc_dir + "/config.cfg";
  ASSERT_EQ(mkfifo(config_fifo.c_str(), 0600), 0);
  const std::string path = box.root.file("unlogged.txt");
  harness::ProcessResult result;
  std::thread runner([&] { result = box.run({path}, {}, 30); });
  const pid_t pid = running_tessary(path);
  ASSERT_NE(pid, 0);
  kill(pid, SIGTERM);
  runner.join();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

TEST(EndToEnd, MagicDatabaseFailureIsTheFixedAssertionAndReachesTheCrashLog) {
  Receiver receiver;
  Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const std::string path = box.root.file("m.txt");
  harness::write_file(path, "text\n");
  // libmagic takes its default database from $MAGIC; a missing one makes loading fail.
  const auto result = box.run({path}, {{"MAGIC", box.root.file("no-such-database")}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err,
            "tessary: tessary.cpp:1265: int main(int, char**): Assertion `magic_load(magic, nullptr) == 0' failed.\n");
  EXPECT_NE(box.error_log().find(" # " + path + "\n"), std::string::npos) << box.error_log();
  EXPECT_TRUE(receiver.wait_connections(1, 200).empty());
}

TEST(EndToEnd, SignalDuringAConverterEndsTheConverterToo) {
  Receiver receiver;
  Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const std::string bin = box.root.file("bin");
  mkdir(bin.c_str(), 0755);
  const std::string marker = box.root.file("converter-started");
  // A Ghostscript that hangs, with a child of its own.
  harness::write_script(bin + "/gs", "#!/bin/sh\ntouch '" + marker + "'\nsleep 3217 &\nsleep 3218\n");
  const std::string path = box.root.file("hang.pdf");
  harness::write_file(path, "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n");
  harness::ProcessResult result;
  std::thread runner([&] {
    result = box.run({path}, {{"PATH", bin + ":" + std::string(getenv("PATH"))}}, 60);
  });
  for (int i = 0; i < 500 && access(marker.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(access(marker.c_str(), F_OK), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const pid_t pid = running_tessary(path);
  ASSERT_NE(pid, 0);
  kill(pid, SIGTERM);
  runner.join();
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(box.error_log().find(" # " + path + "\n"), std::string::npos) << box.error_log();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(harness::processes_matching("sleep 3217").empty());
  EXPECT_TRUE(harness::processes_matching("sleep 3218").empty());
  EXPECT_TRUE(receiver.wait_connections(1, 200).empty());
}
