#include "driver/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "driver/paths.h"
#include "process/unique_fd.h"

namespace tessary {

std::string config_value_of_line(const std::string& line) {
  // The value starts two characters after the last "=": the "=" and the blank that normally
  // follows it are dropped. A line without "=" counts the missing sign as position -1.
  const std::size_t equals = line.rfind('=');
  const std::size_t start = equals == std::string::npos ? 1 : equals + 2;
  if (start >= line.size()) return std::string();
  return line.substr(start, kConfigValueMax);
}

std::vector<std::string> parse_config_text(const std::string& text) {
  std::vector<std::string> values;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) values.push_back(config_value_of_line(text.substr(begin, end - begin)));
    begin = end + 1;
  }
  return values;
}

}  // namespace tessary

bool read_config_file(std::vector<std::string>& config) {
  const tessary::UniqueFd fd(open(tessary::kConfigPath, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      // Keep what was read before the failure, as a stream that stops on error would.
      const int saved = errno;
      std::size_t complete = text.rfind('\n');
      text.resize(complete == std::string::npos ? 0 : complete + 1);
      for (auto& value : tessary::parse_config_text(text)) config.push_back(std::move(value));
      errno = saved;
      return false;
    }
    break;
  }
  for (auto& value : tessary::parse_config_text(text)) config.push_back(std::move(value));
  return true;
}
