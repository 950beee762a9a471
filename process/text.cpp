#include "process/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tessary {

bool parse_byte_size(const std::string& text, std::uint64_t* bytes) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return false;
  std::string unit = text.substr(digits);
  if (unit.size() >= 2 && (unit.compare(unit.size() - 2, 2, "iB") == 0)) unit.resize(unit.size() - 2);
  else if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b') && unit.size() <= 2) unit.pop_back();
  int shift = 0;
  if (unit.empty()) shift = 0;
  else if (unit == "k" || unit == "K") shift = 10;
  else if (unit == "m" || unit == "M") shift = 20;
  else if (unit == "g" || unit == "G") shift = 30;
  else if (unit == "t" || unit == "T") shift = 40;
  else return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
  if (errno != 0 || value == 0 || value > (ULLONG_MAX >> shift)) return false;
  *bytes = static_cast<std::uint64_t>(value) << shift;
  return true;
}

}  // namespace tessary
