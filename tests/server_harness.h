// Running tessary-server as a process for the end-to-end tests, and plain TCP senders.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "record/record_parser.h"
#include "tests/harness.h"

namespace harness {

/// Path of the built server.
std::string server_binary();

/// A tessary-server process listening on 127.0.0.1 (port 0: any free one) with `args` added;
/// its standard error goes to a file. Stopped with SIGTERM (SIGKILL after 20 s) when the object
/// goes away unless stop() or kill() came first.
class ServerProcess {
 public:
  ServerProcess(const std::string& store, const std::vector<std::string>& args = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  /// True once the server logged that it listens; port() is then its port.
  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  /// SIGTERM, then waits; the exit status (128 + signal when killed), -1 after 60 s.
  int stop();
  /// SIGKILL, then reaps.
  void kill_now();
  /// Everything the server logged so far.
  std::string log() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

/// Connects to 127.0.0.1:`port`, sends `bytes`, shuts the sending side and reads until the
/// server closes. False when connecting fails; a send cut short by the server still counts as
/// delivered when `allow_cut`.
bool send_bytes(int port, const std::string& bytes, bool allow_cut = false);

/// A connected socket to 127.0.0.1:`port`, or -1.
int connect_to(int port);

/// An index record as the agent builds it, for path `path` ("/n/..."), with `content` and a
/// stamp of `second`.`micros` on 8 December 2026.
std::string agent_record(const std::string& path, const std::string& content, int second = 0, int micros = 1);

/// Polls `done` every 20 ms for at most `timeout`; true once it held.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

/// The rows of the store `location`, read through a store connection of its own; empty on error.
std::vector<tessary::IndexRecord> store_rows(const std::string& location);
/// The paths in the SQLite store at `path`, read through a read-only connection (which never
/// waits for the server's writer); empty on error.
std::vector<std::string> sqlite_paths(const std::string& path);
/// A statistic of the store `location`.
std::string store_stat(const std::string& location, const std::string& name);

}  // namespace harness
