// tessary-server: receives index records from tessary agents over TCP and keeps them in the index
// store (SQLite by default, PostgreSQL at scale). See README.md, "The index server".
#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "server/listener.h"
#include "server/log.h"
#include "server/options.h"
#include "server/writer.h"
#include "store/store.h"
#include "web/web.h"

namespace {

using tessary::server::log_line;

// Records waiting for a commit beyond which the peers are held back (one larger record is still
// taken alone). Small on purpose: what waits here waits for the next commit, so the bound keeps
// the delay until a record is searchable short when the store is slower than the peers; the
// peers wait in their connections instead.
constexpr std::size_t kQueueBytes = 512u * 1024u;

// Runs as `user` from now on; the store's files become theirs so that the server can keep
// writing them after a restart as that user.
bool switch_user(const std::string& user, const std::vector<std::string>& store_files, std::string* error) {
  const passwd* pw = getpwnam(user.c_str());
  if (pw == nullptr) return *error = "--user: no such user: " + user, false;
  if (geteuid() != 0) {
    if (pw->pw_uid == geteuid()) return true;
    return *error = "--user: only root can switch to another user", false;
  }
  for (const std::string& file : store_files) {
    if (access(file.c_str(), F_OK) == 0 && chown(file.c_str(), pw->pw_uid, pw->pw_gid) != 0)
      return *error = file + ": cannot hand it to " + user, false;
  }
  if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
    return *error = "cannot switch to the user " + user, false;
  if (setuid(0) == 0) return *error = "could switch back to root after switching to " + user, false;
  return true;
}

// Thousands of connections need as many descriptors as the hard limit allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The search page's HTTP server, bound to --http (before the user switch) and sharing --allow.
std::unique_ptr<tessary::web::HttpServer> open_page(const tessary::server::Options& options, std::string* error) {
  std::string host;
  int port = 0;
  tessary::web::parse_http_address(options.http, /*allow_zero=*/true, &host, &port);
  tessary::web::Options web;
  web.store_location = options.store;
  const std::vector<tessary::server::Cidr> allow = options.allow;
  web.allowed = [allow](const std::string& address) {
    sockaddr_storage peer{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
    } else {
      return false;
    }
    return tessary::server::peer_allowed(allow, peer);
  };
  auto page = std::make_unique<tessary::web::HttpServer>(std::move(web));
  if (!page->bind(host, port, error)) return nullptr;
  return page;
}

// "http://HOST:PORT/" for the log (IPv6 hosts in brackets).
std::string page_address(const std::string& location, int port) {
  std::string host;
  int ignored = 0;
  tessary::web::parse_http_address(location, /*allow_zero=*/true, &host, &ignored);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/";
}

}  // namespace

int main(int argc, char** argv) {
  // Read the command line.
  tessary::server::Options options;
  std::string error;
  switch (tessary::server::parse_options(argc, argv, &options, &error)) {
    case tessary::server::Command::kHelp:
      std::fputs(tessary::server::help_text().c_str(), stdout);
      return 0;
    case tessary::server::Command::kVersion:
      std::printf("tessary-server %s\n", TESSARY_VERSION);
      return 0;
    case tessary::server::Command::kUsageError:
      log_line(tessary::server::escape_for_log(error, 300));
      std::fputs("Try 'tessary-server --help' for more information.\n", stderr);
      return 2;
    case tessary::server::Command::kRun:
      break;
  }

  // SIGTERM and SIGINT are taken by the event loop through a signalfd: blocked here, before any
  // thread starts, so every thread inherits the mask. Writing to a closed peer is no signal.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();

  // Listen, then open the store: both may need root, which is given up right after.
  std::vector<int> sockets;
  std::vector<std::string> addresses;
  if (!tessary::server::open_listeners(options.listen, &sockets, &addresses, &error)) {
    log_line("cannot listen on " + tessary::server::escape_for_log(error, 300));
    return 1;
  }
  std::unique_ptr<tessary::web::HttpServer> page;
  if (!options.http.empty() && !(page = open_page(options, &error))) {
    log_line("cannot serve the page: " + tessary::server::escape_for_log(error, 300));
    return 1;
  }
  std::unique_ptr<tessary::store::Store> store = tessary::store::open_store(options.store, &error);
  if (!store) {
    log_line("cannot open the store " + tessary::server::escape_for_log(error, 400));
    return 1;
  }
  if (!options.user.empty() && !switch_user(options.user, store->files(), &error)) {
    log_line(tessary::server::escape_for_log(error, 300));
    return 1;
  }

  // Start the writer thread and the page, then serve until a stop signal.
  tessary::server::Writer writer(store.get(), kQueueBytes);
  writer.start();
  if (page) page->start();
  if (!options.quiet) {
    for (const std::string& address : addresses) log_line("listening on " + address);
  }
  if (page) log_line("search page on " + page_address(options.http, page->port()));
  tessary::server::ConnectionLimits limits;
  limits.record_limit = options.record_limit;
  limits.idle_seconds = options.idle_seconds;
  limits.allow = options.allow;
  const bool served = tessary::server::serve(sockets, limits, stop_signals, &writer, &error);
  if (!served) log_line(error);

  // Stop the page, commit what was received, then report.
  if (page) page->stop();
  const bool committed = writer.finish();
  if (!options.quiet) log_line("stopped; " + std::to_string(writer.committed()) + " records committed");
  return served && committed ? 0 : 1;
}
