#include "tests/pg_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/harness.h"


namespace harness {
namespace {

constexpr const char* kUser = "postgres";

// A port of 127.0.0.1 that nothing listens on at this moment.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// The words that run a program as the unprivileged user when this process is root. With
// `death_signal` the program gets SIGQUIT (PostgreSQL's immediate shutdown) should this process
// die without stopping it.
std::vector<std::string> as_user(bool death_signal) {
  std::vector<std::string> words;
  if (geteuid() == 0) {
    words = {"setpriv", "--reuid=" + std::string(kUser), "--regid=" + std::string(kUser), "--clear-groups"};
  } else if (death_signal) {
    words = {"setpriv"};
  }
  if (death_signal) words.push_back("--pdeathsig=SIGQUIT");
  if (!words.empty()) words.push_back("--");
  return words;
}

}  // namespace

PgServer::PgServer() {
  ok_ = start();
  if (!ok_ && error_.empty()) error_ = "postgresql did not start";
}

bool PgServer::start() {
  if (access((std::string(kPgBinDir) + "/initdb").c_str(), X_OK) != 0) {
    error_ = std::string(kPgBinDir) + "/initdb: not installed (package postgresql)";
    return false;
  }
  char tmpl[] = "/tmp/tessary-pg-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  dir_ = tmpl;
  if (geteuid() == 0) {
    const passwd* pw = getpwnam(kUser);
    if (pw == nullptr || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      error_ = "cannot hand " + dir_ + " to the user " + kUser;
      return false;
    }
  }
  const std::string data = dir_ + "/data";

  // A throw-away cluster: no fsync at initdb, trust for the owner only on this private server.
  std::vector<std::string> initdb = as_user(/*death_signal=*/false);
  initdb.insert(initdb.end(), {std::string(kPgBinDir) + "/initdb", "-D", data, "-U", kUser, "-A", "trust",
                               "-E", "UTF8", "--locale=C", "--no-sync"});
  const ProcessResult made = run_process(initdb, {}, 120);
  if (made.status != 0) {
    error_ = "initdb failed: " + made.err + made.out;
    return false;
  }

  port_ = free_port();
  const std::string log = dir_ + "/server.log";
  std::vector<std::string> argv = as_user(/*death_signal=*/true);
  argv.insert(argv.end(), {std::string(kPgBinDir) + "/postgres", "-D", data, "-p", std::to_string(port_), "-k",
                           dir_, "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
                           "full_page_writes=off", "-c", "max_connections=200", "-c", "logging_collector=off"});
  pid_ = spawn_logged(argv, log, /*stdout_to_log=*/true, /*own_group=*/false, &error_);
  if (pid_ < 0) return false;

  // Ready once it answers a ping; a server that exits early has written why into its log.
  const std::string conninfo = uri("postgres");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (PQping(conninfo.c_str()) == PQPING_OK) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "postgres exited: " + read_file(log);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error_ = "postgres did not accept connections within 60 s: " + read_file(log);
  return false;
}

PgServer::~PgServer() {
  if (pid_ > 0) {
    // SIGINT is PostgreSQL's fast shutdown: sessions are ended, nothing waits for clients.
    kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    bool reaped = false;
    while (!reaped && std::chrono::steady_clock::now() < deadline) {
      const pid_t got = waitpid(pid_, &status, WNOHANG);
      if (got == pid_ || (got < 0 && errno == ECHILD)) reaped = true;
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  if (!dir_.empty()) run_process({"rm", "-rf", "--", dir_});
}

std::string PgServer::uri(const std::string& name) const {
  return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(port_) + "/" + name;
}

std::string PgServer::socket_uri(const std::string& name) const {
  return "postgresql://" + std::string(kUser) + "@/" + name + "?host=" + dir_ + "&port=" + std::to_string(port_);
}

std::string PgServer::fresh_database() {
  if (!ok_) return "";
  const std::string name = "t" + std::to_string(++next_database_);
  PGconn* conn = PQconnectdb(uri("postgres").c_str());
  std::string result;
  if (PQstatus(conn) != CONNECTION_OK) {
    error_ = std::string("connect: ") + PQerrorMessage(conn);
  } else {
    PGresult* res = PQexec(conn, ("CREATE DATABASE " + name).c_str());
    if (PQresultStatus(res) == PGRES_COMMAND_OK) result = uri(name);
    else error_ = std::string("CREATE DATABASE: ") + PQerrorMessage(conn);
    PQclear(res);
  }
  PQfinish(conn);
  return result;
}

}  // namespace harness
