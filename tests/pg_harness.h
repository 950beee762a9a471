// A private PostgreSQL 15 server for tests: initdb into a temporary directory as an unprivileged
// user, listening on a private Unix socket directory inside it and on a free port of 127.0.0.1,
// stopped and removed with everything in it when the object goes away.
#pragma once

#include <sys/types.h>

#include <string>

namespace harness {

/// One running PostgreSQL server owned by this test process.
class PgServer {
 public:
  /// Creates the cluster and starts the server (as the user "postgres" when run as root, else as
  /// the caller). On failure ok() is false and error() says why (the server's log included).
  PgServer();
  /// Stops the server (fast shutdown, then SIGKILL after 10 s) and removes its directory.
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  /// True when the server accepts connections.
  bool ok() const { return ok_; }
  /// Why the server could not be started; empty when ok().
  const std::string& error() const { return error_; }
  /// The TCP port on 127.0.0.1.
  int port() const { return port_; }
  /// A fresh, empty database (named "t1", "t2", ... per server) as a "postgresql://" URI over TCP;
  /// empty, with error() set, when it cannot be created.
  std::string fresh_database();
  /// The URI of an existing database `name` over TCP.
  std::string uri(const std::string& name) const;
  /// The URI of an existing database `name` over the private Unix socket.
  std::string socket_uri(const std::string& name) const;

 private:
  bool start();
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  int next_database_ = 0;
  bool ok_ = false;
  std::string error_;
};

/// The path of PostgreSQL 15's programs (initdb, postgres).
constexpr const char* kPgBinDir = "/usr/lib/postgresql/15/bin";

}  // namespace harness
