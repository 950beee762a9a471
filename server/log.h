// The server's log: one line per event on standard error, every byte that comes from a peer
// escaped so that no control byte reaches a terminal or a log file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary::server {

/// `bytes` with printable ASCII kept and everything else written as \r, \n, \t, \\ or \xNN;
/// at most `max` input bytes are shown, then "..." when there were more.
std::string escape_for_log(std::string_view bytes, std::size_t max);

/// Writes "tessary-server: <message>\n" to standard error with one write call, so lines of
/// the two threads never interleave. The message must already be escaped.
void log_line(const std::string& message);

}  // namespace tessary::server
