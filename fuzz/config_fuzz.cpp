// Fuzzes the configuration reader: any bytes as the text of /etc/vq/config.cfg.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/config.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> values = tessary::parse_config_text(text);

  // Walks the lines separately: one value per non-empty line, in order, each as the line gives it.
  std::size_t index = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    if (line.empty()) continue;

    FUZZ_CHECK(index < values.size());
    const std::string& value = values[index++];
    FUZZ_CHECK(value == tessary::config_value_of_line(line));
    // The value starts two characters past the last "=", so it never holds one; it is at most
    // 999 characters long and, when shorter, runs to the end of the line.
    FUZZ_CHECK(value.find('=') == std::string::npos);
    FUZZ_CHECK(value.size() <= tessary::kConfigValueMax);
    if (value.size() < tessary::kConfigValueMax) {
      FUZZ_CHECK(fuzz::ends_with(line, value));
    } else {
      FUZZ_CHECK(line.find(value) != std::string::npos);
    }
    // Only the "=" and the one character after it are dropped before the value.
    const std::size_t equals = line.rfind('=');
    const std::size_t start = equals == std::string::npos ? 1 : equals + 2;
    FUZZ_CHECK(value.empty() == (start >= line.size()));
    FUZZ_CHECK(tessary::switch_on(value) == (value == "true"));
  }
  FUZZ_CHECK(index == values.size());
  return 0;
}
