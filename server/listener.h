// The network side: listening sockets, and one event loop (epoll) that serves every connection
// at once, reads each to "quit\r\n" or its end, frames and parses its records and hands them to
// the writer. Connections are closed and logged when they stay silent, drip, or send a record
// over the bound.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

#include "server/options.h"
#include "server/writer.h"

namespace tessary::server {

/// Listening sockets for `address` ("HOST:PORT"): one per address the host has. Returns false with
/// a message naming the address and the reason. On success `names` holds what was bound
/// ("127.0.0.1:7777"; the real port when PORT was 0).
bool open_listeners(const std::string& address, std::vector<int>* sockets, std::vector<std::string>* names,
                    std::string* error);

/// Limits every connection is held to.
struct ConnectionLimits {
  std::size_t record_limit = kDefaultRecordLimit;
  int idle_seconds = kDefaultIdleSeconds;
  std::size_t drip_bytes = kDripBytes;
  std::vector<Cidr> allow;
};

/// Serves connections on `sockets` (closed on return) until one of `signals` (blocked in every
/// thread by the caller) arrives; then accepts nothing more, lets open connections finish for
/// at most one second, drops what is still incomplete, and returns. Records go to `writer`.
/// False with `error` when the loop itself cannot run (epoll or signalfd failing).
bool serve(const std::vector<int>& sockets, const ConnectionLimits& limits, const sigset_t& signals, Writer* writer,
           std::string* error);

}  // namespace tessary::server
