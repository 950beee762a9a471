// MD5 digest of the indexed file.
#pragma once

#include <string>

#include "record/record.h"

/// Computes the MD5 digest of the file at `path` as 32 lowercase hexadecimal digits, stores it in
/// `digest` and returns a copy. When a read fails part way, the digest is kNoDigest and
/// "tessary: cannot read PATH for the digest: reason" goes to stderr. When the file cannot be
/// opened it writes "tessary: cannot open PATH for the digest: reason" on stderr and ends the
/// run silently (end_run_silently: the file's times put back, status 0).
std::string hash_wert(std::string& path, std::string& digest);

namespace tessary {
/// Lowercase hexadecimal text of `size` bytes.
std::string hex_text(const unsigned char* bytes, std::size_t size);
}  // namespace tessary
