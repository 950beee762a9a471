// Byte-level text rules that every layer shares.
#pragma once

#include <cstdint>
#include <string>

namespace tessary {

/// Lowercases one byte as tolower does in the "C" locale, which the program never leaves: only
/// the letters A to Z change; every other byte, parts of multi-byte characters included, stays.
inline char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

/// Lowercases every byte of `text` in place with lower_ascii.
inline void lowercase_ascii(std::string* text) {
  for (char& c : *text) c = lower_ascii(c);
}

/// True when a configuration switch is on: its value is exactly "true" (no trimming, so
/// "true\r" or " true" is off).
inline bool switch_on(const std::string& value) { return value == "true"; }

/// "1073741824", "1G", "512M", "64k" (powers of 1024, up to "T"; an optional trailing "B" or
/// "iB") as bytes. False when the text is not such a size, is zero or overflows.
bool parse_byte_size(const std::string& text, std::uint64_t* bytes);

}  // namespace tessary
