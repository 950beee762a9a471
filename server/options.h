// The command line of tessary-server.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "server/peer_filter.h"

namespace tessary::server {

/// Where the server listens when not told otherwise (the sample agent configuration's too).
constexpr const char* kDefaultListen = "127.0.0.1:7777";
/// The embedded store's default file.
constexpr const char* kDefaultStore = "/var/lib/tessary/index.db";
/// Most bytes one record may have by default.
constexpr std::size_t kDefaultRecordLimit = 64u * 1024u * 1024u;
/// Seconds a connection may stay silent; also the window in which it must deliver kDripBytes.
constexpr int kDefaultIdleSeconds = 30;
/// Bytes a connection must deliver in every idle window (less is a slow drip).
constexpr std::size_t kDripBytes = 4096;

struct Options {
  std::string listen = kDefaultListen;  ///< HOST:PORT, [IPv6]:PORT
  std::string store = kDefaultStore;    ///< file path or postgresql:// URI
  std::vector<Cidr> allow;              ///< empty: every peer
  std::string user;                     ///< switch to this user after binding (as root)
  std::string http;                     ///< [HOST:]PORT of the search page; empty: no page
  std::size_t record_limit = kDefaultRecordLimit;
  int idle_seconds = kDefaultIdleSeconds;
  bool quiet = false;
};

enum class Command { kRun, kHelp, kVersion, kUsageError };

/// Reads argv into `options`. kUsageError leaves a message (without the program name) in `error`.
Command parse_options(int argc, char** argv, Options* options, std::string* error);

/// The --help text.
std::string help_text();

/// Splits "HOST:PORT" / "[IPV6]:PORT" / ":PORT" (host 127.0.0.1); false when it is not one.
bool split_host_port(const std::string& text, std::string* host, std::string* port);


}  // namespace tessary::server
