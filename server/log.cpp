#include "server/log.h"

#include <unistd.h>

#include <cerrno>

namespace tessary::server {

std::string escape_for_log(std::string_view bytes, std::size_t max) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  const std::size_t shown = bytes.size() < max ? bytes.size() : max;
  out.reserve(shown + 8);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(static_cast<char>(c));
        } else {
          out += "\\x";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        }
    }
  }
  if (shown < bytes.size()) out += "...";
  return out;
}

void log_line(const std::string& message) {
  const std::string line = "tessary-server: " + message + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace tessary::server
