#include "tests/server_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <thread>

#include "record/record.h"
#include "store/store.h"


namespace harness {

std::string server_binary() {
  const char* over = getenv("TESSARY_SERVER_BIN");
  return over ? over : TESSARY_SERVER_BINARY;
}

ServerProcess::ServerProcess(const std::string& store, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {server_binary(), "--listen", "127.0.0.1:0", "--store", store};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  pid_ = spawn_logged(argv, dir_.file("log"), /*stdout_to_log=*/false, /*own_group=*/false, &error);
  if (pid_ < 0) return;
  wait_until(
      [&] {
        const std::string text = log();
        const std::size_t at = text.find("listening on 127.0.0.1:");
        if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 23);
        int status;
        return port_ > 0 || waitpid(pid_, &status, WNOHANG) == pid_;
      },
      std::chrono::seconds(30));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && stop() < 0) kill_now();
}

int ServerProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

void ServerProcess::kill_now() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string ServerProcess::log() const { return read_file(dir_.file("log")); }

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool send_bytes(int port, const std::string& bytes, bool allow_cut) {
  const int fd = connect_to(port);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = allow_cut;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  char buffer[256];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
  return ok;
}

std::string agent_record(const std::string& path, const std::string& content, int second, int micros) {
  tessary::RecordFacts facts;
  facts.access_time = "2023-11-14 22:13:20";
  facts.modification_time = "2024-02-29 08:05:09";
  facts.change_time = "Tue Nov 14 22:13:20 2023";
  facts.size = std::to_string(content.size());
  struct tm t {};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 12;
  t.tm_sec = second;
  std::string p = path, name = path.substr(path.rfind('/') + 1), c = content;
  tessary::normalise_texts(p, name, c);
  return tessary::build_index_record(p, name, facts, "nicht berechnet", c, tessary::format_stamp(t, micros));
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<tessary::IndexRecord> store_rows(const std::string& location) {
  std::string error;
  std::vector<tessary::IndexRecord> rows;
  auto store = tessary::store::open_store(location, &error);
  if (store) store->read_rows(&rows, &error);
  return rows;
}

std::vector<std::string> sqlite_paths(const std::string& path) {
  std::vector<std::string> paths;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT path FROM files", -1, &s, nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW)
        paths.emplace_back(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
    }
    sqlite3_finalize(s);
  }
  sqlite3_close_v2(db);
  return paths;
}

std::string store_stat(const std::string& location, const std::string& name) {
  std::string error, value;
  auto store = tessary::store::open_store(location, &error);
  if (store) store->read_stat(name, &value, &error);
  return value;
}

}  // namespace harness
