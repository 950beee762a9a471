// Shared helpers of the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

/// Ends the run with a message when `condition` is false. libFuzzer reports the abort as a crash
/// and keeps the input, so a broken invariant is found the same way as a fault of memory.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace fuzz {

/// True when `text` ends with `tail`.
inline bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

/// True when `text` starts with `head`.
inline bool starts_with(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

/// True when `text` holds a letter from A to Z.
inline bool has_upper(const std::string& text) {
  for (const char c : text) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

/// Splits output bytes as fgets with a buffer of `piece_max` + 1 bytes hands them over: a piece
/// ends after a line feed or after `piece_max` bytes, and each piece is cut at its first zero byte
/// (the C string the reader sees).
inline std::vector<std::string> fgets_pieces(const std::string& bytes, std::size_t piece_max) {
  std::vector<std::string> pieces;
  std::size_t begin = 0;
  while (begin < bytes.size()) {
    std::size_t end = begin;
    while (end < bytes.size() && end - begin < piece_max) {
      if (bytes[end++] == '\n') break;
    }
    std::string piece = bytes.substr(begin, end - begin);
    const std::size_t nul = piece.find('\0');
    if (nul != std::string::npos) piece.resize(nul);
    pieces.push_back(piece);
    begin = end;
  }
  return pieces;
}

}  // namespace fuzz
