// tessary-server as a process on 127.0.0.1: records of the real agent on hostile files, malformed
// and oversized records, peers that reset, drip or idle, floods from many senders, kill -9 during
// a flood, the orderly stop, and the command line.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "tests/harness.h"
#include "tests/pg_harness.h"
#include "tests/server_harness.h"

namespace {

using harness::ServerProcess;
using namespace std::chrono_literals;

std::map<std::string, tessary::IndexRecord> by_path(const std::vector<tessary::IndexRecord>& rows) {
  std::map<std::string, tessary::IndexRecord> out;
  for (const auto& r : rows) out[r.path] = r;
  return out;
}

// Records of the real agent, run on hostile files at its fixed paths, arrive in the store with
// every field as the file has it.
TEST(ServerEndToEnd, RecordsOfTheRealAgentOnHostileFiles) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store);
  ASSERT_TRUE(server.started()) << server.log();
  harness::Sandbox box;
  box.set_config(harness::default_config(server.port()));
  const std::string files = box.root.file("f");
  mkdir(files.c_str(), 0755);
  mkdir((files + "/Dir\nWith Feed").c_str(), 0755);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {files + "/It's \"Quoted\" #DATEINAME#.TXT", "Plain TEXT\n"},
      {files + "/Dir\nWith Feed/line1\nset '#PFAD#x.txt", "feed\n"},
      {files + "/hostile.txt",
       "a # b \"c\" 'd' \r e @@ENDE@@' '01.01.2020 10:00:00.1'\r\nset '#PFAD#/etc/passwd#DATEINAME#passwd#LETZ.ZUG#"
       "2020-01-01 00:00:00#LETZT.MOD#2020-01-01 00:00:00#CREATE.DATAE#Wed Jan  1 00:00:00 2020#SIZE#1#MD5#"
       "nicht berechnet#INHALT#x@@ENDE@@' '01.01.2020 00:00:00.1'\r\n"},
      {files + "/empty", ""},
  };
  for (const auto& c : cases) {
    harness::write_file(c.first, c.second);
    const harness::ProcessResult run = box.run({c.first}, {{"TZ", "UTC"}});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  std::map<std::string, tessary::IndexRecord> rows;
  ASSERT_TRUE(harness::wait_until([&] { return (rows = by_path(harness::store_rows(store))).size() == cases.size(); }, 10s))
      << server.log();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const auto found = rows.find(harness::record_path(c.first));
    ASSERT_NE(found, rows.end());
    const tessary::IndexRecord& r = found->second;
    struct stat st {};
    ASSERT_EQ(stat(c.first.c_str(), &st), 0);
    EXPECT_EQ(r.name, harness::record_file_name(c.first));
    EXPECT_EQ(r.size, static_cast<std::int64_t>(st.st_size));
    EXPECT_EQ(r.md5, harness::md5_of(c.first));
    EXPECT_EQ(r.content, harness::record_content(c.second));
    struct tm m {};
    gmtime_r(&st.st_mtime, &m);
    EXPECT_EQ(r.mtime, (tessary::CivilTime{m.tm_year + 1900, m.tm_mon + 1, m.tm_mday, m.tm_hour, m.tm_min, m.tm_sec}));
  }
  EXPECT_EQ(harness::store_stat(store, "rejected"), "0");
  EXPECT_EQ(server.stop(), 0);
}

TEST(ServerEndToEnd, MalformedRecordBetweenGoodOnesIsLoggedAndCounted) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store);
  ASSERT_TRUE(server.started()) << server.log();
  const std::string bad = "set '#PFAD#/bad#DATEINAME#bad#LETZ.ZUG#2023-02-30 10:00:00\x1b[31m red\r\n";
  ASSERT_TRUE(harness::send_bytes(server.port(), harness::agent_record("/n/one", "1") + bad +
                                                     harness::agent_record("/n/two", "2") + "quit\r\n"));
  ASSERT_TRUE(harness::wait_until([&] { return harness::store_stat(store, "rejected") == "1"; }, 5s)) << server.log();
  EXPECT_EQ(harness::store_rows(store).size(), 2u);
  EXPECT_EQ(server.stop(), 0);
  const std::string log = server.log();
  // The peer, the reason and an escaped excerpt; no raw control byte in any line.
  EXPECT_NE(log.find("127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("malformed record"), std::string::npos) << log;
  EXPECT_NE(log.find("LETZ.ZUG#2023-02-30 10:00:00\\x1b[31m"), std::string::npos) << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
}

// A record of 200 MiB: over the default bound the connection is closed and nothing of it is
// stored; under a raised bound it is stored whole.
TEST(ServerEndToEnd, RecordOf200MiBAgainstTheBound) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  const std::string huge = harness::agent_record("/n/huge", std::string(200u << 20, 'x'));
  {
    ServerProcess server(store);
    ASSERT_TRUE(server.started()) << server.log();
    harness::send_bytes(server.port(), harness::agent_record("/n/small", "s") + huge + "quit\r\n", /*allow_cut=*/true);
    ASSERT_TRUE(harness::wait_until([&] { return harness::store_stat(store, "rejected") == "1"; }, 20s)) << server.log();
    EXPECT_NE(server.log().find("record longer than 67108864 bytes"), std::string::npos) << server.log();
    EXPECT_EQ(server.stop(), 0);
    const auto rows = harness::store_rows(store);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, "/n/small");
  }
  ServerProcess server(store, {"--record-limit", "256M"});
  ASSERT_TRUE(server.started()) << server.log();
  ASSERT_TRUE(harness::send_bytes(server.port(), huge + "quit\r\n"));
  EXPECT_EQ(server.stop(), 0);
  const auto rows = by_path(harness::store_rows(store));
  ASSERT_EQ(rows.count("/n/huge"), 1u);
  EXPECT_EQ(rows.at("/n/huge").content.size(), 200u << 20);
}

TEST(ServerEndToEnd, PeerThatResetsMidRecord) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store);
  ASSERT_TRUE(server.started()) << server.log();
  const int fd = harness::connect_to(server.port());
  ASSERT_GE(fd, 0);
  const std::string whole = harness::agent_record("/n/whole", "w");
  const std::string cut = harness::agent_record("/n/cut", "c").substr(0, 60);
  ASSERT_EQ(send(fd, (whole + cut).data(), whole.size() + cut.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(whole.size() + cut.size()));
  std::this_thread::sleep_for(200ms);
  // A zero linger time makes close send a reset.
  const linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  ASSERT_TRUE(harness::wait_until([&] { return harness::store_stat(store, "rejected") == "1"; }, 5s)) << server.log();
  const auto rows = harness::store_rows(store);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].path, "/n/whole");
  // The server goes on serving.
  ASSERT_TRUE(harness::send_bytes(server.port(), harness::agent_record("/n/after", "a")));
  EXPECT_EQ(server.stop(), 0);
  EXPECT_EQ(harness::store_rows(store).size(), 2u);
}

// A client that sends a byte a second, and one that sends nothing, are closed once the window
// passes (3 s here instead of the default 30 s).
TEST(ServerEndToEnd, DripAndIdleConnectionsAreClosed) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store, {"--idle-timeout", "3"});
  ASSERT_TRUE(server.started()) << server.log();
  const int idle = harness::connect_to(server.port());
  const int drip = harness::connect_to(server.port());
  ASSERT_GE(idle, 0);
  ASSERT_GE(drip, 0);
  const std::string record = harness::agent_record("/n/drip", "d");
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (std::size_t i = 0; i < record.size() && !closed; ++i) {
    if (send(drip, &record[i], 1, MSG_NOSIGNAL) != 1) closed = true;
    std::this_thread::sleep_for(1s);
    char byte;
    if (recv(drip, &byte, 1, MSG_DONTWAIT) == 0) closed = true;
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  char byte;
  EXPECT_EQ(recv(idle, &byte, 1, 0), 0);  // closed by the server, not waiting forever
  close(idle);
  close(drip);
  const std::string log = server.log();
  EXPECT_NE(log.find("idle for 3 s; connection closed"), std::string::npos) << log;
  EXPECT_NE(log.find("too slow"), std::string::npos) << log;
  EXPECT_EQ(server.stop(), 0);
  EXPECT_TRUE(harness::store_rows(store).empty());
}

TEST(ServerEndToEnd, ThousandIdleConnectionsDoNotStopOthers) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1100 && limit.rlim_max >= 1100) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store, {"--idle-timeout", "4"});
  ASSERT_TRUE(server.started()) << server.log();
  std::vector<int> idle;
  for (int i = 0; i < 1000; ++i) {
    const int fd = harness::connect_to(server.port());
    ASSERT_GE(fd, 0) << i;
    idle.push_back(fd);
  }
  ASSERT_TRUE(harness::send_bytes(server.port(), harness::agent_record("/n/busy", "b") + "quit\r\n"));
  ASSERT_TRUE(harness::wait_until([&] { return harness::store_rows(store).size() == 1; }, 2s)) << server.log();
  // Every idle connection is closed by the server.
  int closed = 0;
  for (int fd : idle) {
    char byte;
    if (recv(fd, &byte, 1, 0) == 0) ++closed;
    close(fd);
  }
  EXPECT_EQ(closed, 1000);
  EXPECT_EQ(server.stop(), 0);
}

// 10,000 records from 16 senders at once, one to five records per connection: none lost,
// none doubled; the server's memory stays small.
void flood(int port, int senders, int per_sender, std::atomic<int>* sent, std::atomic<bool>* stop = nullptr) {
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([=] {
      int i = 0;
      while (i < per_sender && !(stop && *stop)) {
        std::string bytes;
        const int n = std::min(1 + i % 5, per_sender - i);
        for (int k = 0; k < n; ++k, ++i)
          bytes += harness::agent_record("/s" + std::to_string(s) + "/f" + std::to_string(i),
                                         "content of sender " + std::to_string(s) + " file " + std::to_string(i));
        if (harness::send_bytes(port, bytes + "quit\r\n")) *sent += n;
      }
    });
  }
  for (std::thread& t : threads) t.join();
}

void check_flood_rows(const std::vector<tessary::IndexRecord>& rows) {
  std::set<std::string> paths;
  for (const auto& r : rows) {
    EXPECT_TRUE(paths.insert(r.path).second) << r.path;
    const std::size_t f = r.path.find("/f");
    ASSERT_NE(f, std::string::npos) << r.path;
    EXPECT_EQ(r.content, "content of sender " + r.path.substr(2, f - 2) + " file " + r.path.substr(f + 2));
  }
}

class ServerFlood : public ::testing::TestWithParam<const char*> {};

TEST_P(ServerFlood, TenThousandRecordsFromSixteenSenders) {
  harness::TempDir dir;
  std::string store = dir.file("index.db");
  std::unique_ptr<harness::PgServer> pg;
  if (std::string(GetParam()) == "postgresql") {
    pg = std::make_unique<harness::PgServer>();
    ASSERT_TRUE(pg->ok()) << pg->error();
    store = pg->fresh_database();
  }
  ServerProcess server(store);
  ASSERT_TRUE(server.started()) << server.log();
  std::atomic<int> sent{0};
  flood(server.port(), 16, 625, &sent);
  ASSERT_EQ(sent.load(), 10000);
  const std::string status = harness::read_file("/proc/" + std::to_string(server.pid()) + "/status");
  const std::size_t hwm = status.find("VmHWM:");
  ASSERT_NE(hwm, std::string::npos);
  EXPECT_LT(std::atol(status.c_str() + hwm + 6), 400 * 1024) << "peak RSS in KiB";
  EXPECT_EQ(server.stop(), 0);
  const auto rows = harness::store_rows(store);
  EXPECT_EQ(rows.size(), 10000u);
  check_flood_rows(rows);
  EXPECT_EQ(harness::store_stat(store, "rejected"), "0");
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerFlood, ::testing::Values("sqlite", "postgresql"));

// kill -9 in the middle of a flood: the store opens, is consistent, and holds everything that a
// reader saw committed before the kill.
TEST(ServerEndToEnd, KillDuringFloodKeepsEveryCommittedRecord) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  auto server = std::make_unique<ServerProcess>(store);
  ASSERT_TRUE(server->started()) << server->log();
  std::atomic<int> sent{0};
  std::atomic<bool> stop{false};
  std::thread senders([&] { flood(server->port(), 16, 100000, &sent, &stop); });
  std::vector<std::string> seen;
  harness::wait_until([&] { return (seen = harness::sqlite_paths(store)).size() >= 2000; }, 30s);
  server->kill_now();
  stop = true;
  senders.join();
  ASSERT_GE(seen.size(), 2000u);

  const harness::ProcessResult check = harness::run_process(
      {"sqlite3", store, "PRAGMA integrity_check; INSERT INTO files_fts(files_fts) VALUES('integrity-check');"});
  EXPECT_EQ(check.out, "ok\n") << check.err;
  EXPECT_EQ(check.status, 0) << check.err;
  server = std::make_unique<ServerProcess>(store);
  ASSERT_TRUE(server->started()) << server->log();
  const auto after = by_path(harness::store_rows(store));
  for (const std::string& path : seen) EXPECT_EQ(after.count(path), 1u) << path;
  std::vector<tessary::IndexRecord> rows;
  for (const auto& entry : after) rows.push_back(entry.second);
  check_flood_rows(rows);
  EXPECT_EQ(server->stop(), 0);
}

TEST(ServerEndToEnd, OrderlyStopCommitsWhatWasReceived) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  ServerProcess server(store);
  ASSERT_TRUE(server.started()) << server.log();
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += harness::agent_record("/n/" + std::to_string(i), "x");
  // Older stamps for the same paths, sent after the newer ones: they never replace them.
  for (int i = 0; i < 300; ++i) bytes += harness::agent_record("/n/" + std::to_string(i), "older", 0, 0);
  ASSERT_TRUE(harness::send_bytes(server.port(), bytes + "quit\r\n"));
  EXPECT_EQ(server.stop(), 0);
  const auto rows = harness::store_rows(store);
  ASSERT_EQ(rows.size(), 300u);
  for (const auto& r : rows) EXPECT_EQ(r.content, "x");
  EXPECT_NE(server.log().find("stopped; 600 records committed"), std::string::npos) << server.log();
}

// The database goes away under the server: commits fail and are logged and tried again, peers
// are held back, and a stop still ends the server (status 1: records were not stored).
TEST(ServerEndToEnd, StopEndsTheServerWhenTheStoreFails) {
  auto pg = std::make_unique<harness::PgServer>();
  ASSERT_TRUE(pg->ok()) << pg->error();
  const std::string uri = pg->fresh_database();
  ServerProcess server(uri);
  ASSERT_TRUE(server.started()) << server.log();
  pg.reset();
  std::thread sender([&] {
    std::string bytes;
    for (int i = 0; i < 400; ++i) bytes += harness::agent_record("/n/" + std::to_string(i), std::string(3000, 'x'));
    harness::send_bytes(server.port(), bytes + "quit\r\n", /*allow_cut=*/true);
  });
  ASSERT_TRUE(harness::wait_until([&] { return server.log().find("cannot store") != std::string::npos; }, 20s))
      << server.log();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.stop(), 1) << server.log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  sender.join();
}

TEST(ServerEndToEnd, PeersOutsideAllowAreTurnedAway) {
  harness::TempDir dir;
  const std::string store = dir.file("index.db");
  {
    ServerProcess server(store, {"--allow", "10.0.0.0/8", "--allow", "::1/128"});
    ASSERT_TRUE(server.started()) << server.log();
    harness::send_bytes(server.port(), harness::agent_record("/n/x", "x"), true);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(server.log().find("not allowed"), std::string::npos) << server.log();
    EXPECT_TRUE(harness::store_rows(store).empty());
  }
  ServerProcess server(store, {"--allow", "127.0.0.0/8"});
  ASSERT_TRUE(server.started()) << server.log();
  ASSERT_TRUE(harness::send_bytes(server.port(), harness::agent_record("/n/x", "x")));
  EXPECT_EQ(server.stop(), 0);
  EXPECT_EQ(harness::store_rows(store).size(), 1u);
}

TEST(ServerEndToEnd, RunsAsTheUserItSwitchesTo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  harness::TempDir dir;
  chmod(dir.path.c_str(), 0755);
  const std::string store = dir.file("index.db");
  ServerProcess server(store, {"--user", "nobody"});
  ASSERT_TRUE(server.started()) << server.log();
  const std::string status = harness::read_file("/proc/" + std::to_string(server.pid()) + "/status");
  EXPECT_EQ(status.find("Uid:\t0"), std::string::npos) << status;
  ASSERT_TRUE(harness::send_bytes(server.port(), harness::agent_record("/n/x", "x")));
  EXPECT_EQ(server.stop(), 0);
  EXPECT_EQ(harness::store_rows(store).size(), 1u);
  struct stat st {};
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_NE(st.st_uid, 0u);
}

TEST(ServerCommandLine, HelpVersionUsageAndStartFailures) {
  const std::string server = harness::server_binary();
  harness::ProcessResult r = harness::run_process({server, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: tessary-server"), std::string::npos);
  r = harness::run_process({server, "--version"});
  EXPECT_EQ(r.out, "tessary-server 1.0.0\n");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--bogus"}, {"--listen", "nohostport"}, {"--allow", "10.0.0.0/33"},
        {"--record-limit", "12X"}, {"--idle-timeout", "0"}, {"extra"}, {"--store"}}) {
    std::vector<std::string> argv = {server};
    argv.insert(argv.end(), bad.begin(), bad.end());
    r = harness::run_process(argv);
    EXPECT_EQ(r.status, 2) << bad[0];
    EXPECT_EQ(r.err.rfind("tessary-server: ", 0), 0u) << r.err;
  }
  harness::TempDir dir;
  // A store that cannot be opened, and an address already taken: status 1 with the reason.
  harness::write_file(dir.file("file"), "x");
  r = harness::run_process({server, "--listen", "127.0.0.1:0", "--store", dir.file("file") + "/index.db"}, {}, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(dir.file("file")), std::string::npos) << r.err;
  ServerProcess first(dir.file("index.db"));
  ASSERT_TRUE(first.started());
  r = harness::run_process({server, "--listen", "127.0.0.1:" + std::to_string(first.port()), "--store",
                            dir.file("other.db")}, {}, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Address already in use"), std::string::npos) << r.err;
}

}  // namespace
