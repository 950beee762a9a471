// MD5 digest of the indexed file.
#pragma once

#include <string>

/// Text for the digest field when no digest is computed.
constexpr const char* kNoDigest = "nicht berechnet";

/// Computes the MD5 digest of the file at `path` as 32 lowercase hexadecimal digits, stores it in
/// `digest` and returns a copy. When the file cannot be opened it writes
/// "tessary: cannot open PATH for the digest: reason" on stderr and ends the process with status 0.
std::string hash_wert(std::string& path, std::string& digest);

namespace tessary {
/// Lowercase hexadecimal text of `size` bytes.
std::string hex_text(const unsigned char* bytes, std::size_t size);
}  // namespace tessary
