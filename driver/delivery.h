// Delivery of the index record to the index server.
#pragma once

#include <string>
#include <vector>

#include "record/record.h"

namespace tessary {

/// Seconds that connecting, and sending, may take each.
constexpr int kNetworkTimeLimitSeconds = 30;

/// Port from the configuration text: strtol base 10, low 16 bits.
unsigned short port_of(const std::string& text);

/// Connects to the index server `host` (a name, or a dotted IPv4 address) at port `port_text`
/// (see port_of), normalises path, file name and content, and sends the index record and
/// "quit\r\n" completely. Then ends its send side and reads and drops whatever the server sends
/// until it closes (at most 2 s and 64 KiB), so the close never resets a connection whose
/// record the server has not read yet. Returns false after writing a message naming host, port
/// and reason on stderr when the lookup, the connection or a send fails.
bool deliver(const std::string& host, const std::string& port_text, std::string& path, std::string& file_name,
             const RecordFacts& facts, const std::string& digest, std::string& content, const std::string& stamp);

/// Sends all of `data` on `fd` (never raising SIGPIPE), continuing partial sends.
/// Returns false with errno set when a send fails or times out.
bool send_all(int fd, const char* data, std::size_t size);

}  // namespace tessary
