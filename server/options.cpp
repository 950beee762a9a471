#include "server/options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "process/text.h"
#include "web/web.h"

namespace tessary::server {

std::string help_text() {
  return R"(Usage: tessary-server [OPTION]...
Receive index records from tessary agents over TCP and keep them in an index store.

Each connection carries records, one after another, then "quit\r\n" or its end. Every record
that parses is stored: one entry per path, replaced only by a record with a newer stamp. A record
that cannot be parsed is logged with the peer's address and counted ("rejected"); the server
answers nothing.

Options:
      --listen HOST:PORT   listen there (default 127.0.0.1:7777; [ADDRESS]:PORT for IPv6;
                           a host name listens on every address it has)
      --store STORE         a file path (SQLite, default /var/lib/tessary/index.db) or a
                           postgresql:// or postgres:// URI
      --allow CIDR         accept only peers in this address block (repeatable; default: all)
      --user NAME          when started as root, run as NAME once listening and the store is
                           open (the store's files are handed to NAME)
      --http [HOST:]PORT   also serve the search page and its JSON API there (HOST default
                           127.0.0.1; read-only; the same --allow blocks apply)
      --record-limit BYTES longest record taken; a longer one closes its connection
                           (default 64M; K, M, G suffixes)
      --idle-timeout SECONDS
                           close a connection silent this long, or delivering less than
                           4 KiB in any such span (default 30)
      --quiet              log only problems, not the start and the stop
      --help               show this help and exit
      --version            show the version and exit

Log lines go to standard error ("tessary-server: ..."). SIGTERM or SIGINT stops the server:
it accepts nothing more, commits what was received, and exits 0.

Exit status: 0 after an orderly stop, 1 when it cannot listen or open the store (or a commit
failed for good), 2 on usage errors.
)";
}

bool split_host_port(const std::string& text, std::string* host, std::string* port) {
  std::size_t colon;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    *host = text.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    *host = text.substr(0, colon);
    if (host->find(':') != std::string::npos) return false;  // IPv6 needs its brackets
  }
  *port = text.substr(colon + 1);
  if (host->empty()) *host = "127.0.0.1";
  if (port->empty() || port->size() > 5 || port->find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoi(*port) <= 65535;
}


Command parse_options(int argc, char** argv, Options* options, std::string* error) {
  enum { kListen = 256, kStore, kAllow, kUser, kHttp, kRecordLimit, kIdle, kQuiet, kHelp, kVersion };
  static const option kLong[] = {
      {"listen", required_argument, nullptr, kListen},
      {"store", required_argument, nullptr, kStore},
      {"allow", required_argument, nullptr, kAllow},
      {"user", required_argument, nullptr, kUser},
      {"http", required_argument, nullptr, kHttp},
      {"record-limit", required_argument, nullptr, kRecordLimit},
      {"idle-timeout", required_argument, nullptr, kIdle},
      {"quiet", no_argument, nullptr, kQuiet},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":", kLong, nullptr)) != -1) {
    const std::string value = optarg ? optarg : "";
    switch (c) {
      case kListen: {
        std::string host, port;
        if (!split_host_port(value, &host, &port)) return *error = "--listen: not HOST:PORT: " + value, Command::kUsageError;
        options->listen = value;
        break;
      }
      case kStore:
        if (value.empty()) return *error = "--store: empty", Command::kUsageError;
        options->store = value;
        break;
      case kAllow: {
        Cidr cidr;
        if (!parse_cidr(value, &cidr)) return *error = "--allow: not an address block: " + value, Command::kUsageError;
        options->allow.push_back(cidr);
        break;
      }
      case kUser:
        if (value.empty()) return *error = "--user: empty", Command::kUsageError;
        options->user = value;
        break;
      case kHttp: {
        std::string host;
        int port = 0;
        if (!tessary::web::parse_http_address(value, /*allow_zero=*/true, &host, &port))
          return *error = "--http: not [HOST:]PORT: " + value, Command::kUsageError;
        options->http = value;
        break;
      }
      case kRecordLimit: {
        std::uint64_t bytes = 0;
        if (!parse_byte_size(value, &bytes))
          return *error = "--record-limit: not a byte count: " + value, Command::kUsageError;
        options->record_limit = static_cast<std::size_t>(bytes);
        break;
      }
      case kIdle: {
        if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(value) == 0)
          return *error = "--idle-timeout: not a number of seconds (1 to 999999): " + value, Command::kUsageError;
        options->idle_seconds = std::stoi(value);
        break;
      }
      case kQuiet:
        options->quiet = true;
        break;
      case kHelp:
        return Command::kHelp;
      case kVersion:
        return Command::kVersion;
      case ':':
        return *error = std::string("option needs a value: ") + argv[optind - 1], Command::kUsageError;
      default:
        return *error = std::string("unknown option: ") + argv[optind - 1], Command::kUsageError;
    }
  }
  if (optind < argc) return *error = std::string("unexpected argument: ") + argv[optind], Command::kUsageError;
  return Command::kRun;
}

}  // namespace tessary::server
