// Delivery of the index record to the index server.
#pragma once

#include <string>
#include <vector>

#include "driver/file_facts.h"

namespace tessary {

/// Seconds that connecting, and sending, may take each.
constexpr int kNetworkTimeLimitSeconds = 30;

/// Port from the configuration text: strtol base 10, low 16 bits.
unsigned short port_of(const std::string& text);

/// Connects to the server of configuration indexes 0 and 1, normalises path, file name and
/// content, and sends the index record and "quit\r\n" completely. Returns false after writing a
/// message naming host, port and reason on stderr when the lookup, the connection or a send fails.
bool deliver(const std::vector<std::string>& config, std::string& path, std::string& file_name,
             const FileFacts& facts, const std::string& digest, std::string& content,
             const std::string& stamp);

/// Sends all of `data` on `fd` (never raising SIGPIPE), continuing partial sends.
/// Returns false with errno set when a send fails or times out.
bool send_all(int fd, const char* data, std::size_t size);

}  // namespace tessary
