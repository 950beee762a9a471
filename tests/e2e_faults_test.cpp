// Faults of the index server: black hole, reset in the middle of a record, a very slow reader.
// Each gives either the whole record or a message and status 1, never SIGPIPE, never a hang.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/harness.h"

namespace {

struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(int backlog) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
};

// A plain-text file of about `lines` * 200 bytes; the whole file becomes the record's content.
// Lines stay short: libmagic calls text with lines over 300 bytes "very long", and those lines
// become marker texts.
std::string big_text(harness::TempDir& dir, int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "line " + std::to_string(i) + " " + std::string(190, 'a' + i % 26) + "\n";
  const std::string path = dir.file("big.txt");
  harness::write_file(path, text);
  return path;
}

std::vector<std::string> whole_file_config(int port) {
  auto config = harness::default_config(port);
  config[4] = "-1";  // a negative line limit reads the whole file
  return config;
}

}  // namespace

TEST(ServerFaults, SeveralMebibytesReachASlowReaderWhole) {
  harness::Sandbox box;
  const std::string path = big_text(box.root, 25000);
  Listener listener(4);
  box.set_config(whole_file_config(listener.port));
  std::string received;
  std::thread reader([&] {
    const int c = accept(listener.fd, nullptr, nullptr);
    char buffer[32768];
    ssize_t got;
    while ((got = read(c, buffer, sizeof buffer)) > 0) {
      received.append(buffer, static_cast<size_t>(got));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(c);
  });
  const auto result = box.run({path}, {}, 120);
  reader.join();
  EXPECT_EQ(result.status, 0) << result.err;
  std::string record, rest;
  ASSERT_TRUE(harness::split_delivery(received, &record, &rest));
  EXPECT_EQ(rest, "quit\r\n");
  const auto fields = harness::parse_record(record);
  EXPECT_GT(fields.at("#INHALT#").size(), 4'900'000u);
  EXPECT_EQ(fields.at("#INHALT#").find('\n'), std::string::npos);
}

TEST(ServerFaults, ResetInTheMiddleOfTheRecordIsReported) {
  harness::Sandbox box;
  const std::string path = big_text(box.root, 40000);
  Listener listener(4);
  box.set_config(whole_file_config(listener.port));
  std::thread resetter([&] {
    const int c = accept(listener.fd, nullptr, nullptr);
    char buffer[1000];
    ssize_t got = read(c, buffer, sizeof buffer);
    (void)got;
    linger abort_close{1, 0};  // close with a reset, not an orderly end
    setsockopt(c, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    close(c);
  });
  const auto result = box.run({path}, {}, 120);
  resetter.join();
  EXPECT_EQ(result.status, 1) << result.err;  // 141 would be SIGPIPE
  EXPECT_NE(result.err.find("127.0.0.1"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(std::to_string(listener.port)), std::string::npos) << result.err;
  EXPECT_EQ(box.error_log(), "");
}

TEST(ServerFaults, ServerThatNeverAnswersTheConnectionIsBounded) {
  harness::Sandbox box;
  harness::write_file(box.root.file("f.bin"), std::string("\x01\x02\x03\xff", 4));
  // A listener whose queue is full drops further connection requests without an answer,
  // as a black-hole address does.
  Listener listener(0);
  int fillers[4];
  for (int& f : fillers) {
    f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(listener.port));
    connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  box.set_config(harness::default_config(listener.port));
  const auto result = box.run({box.root.file("f.bin")}, {}, 90);
  for (int f : fillers) close(f);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_LT(result.seconds, 40.0);
  EXPECT_NE(result.err.find("timed out"), std::string::npos) << result.err;
}
