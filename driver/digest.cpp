#include "driver/digest.h"

// The low-level MD5 interface digests directly; the EVP interface would first set up OpenSSL's
// provider machinery, which costs more than digesting a small file (about 5 million
// instructions per run). Its deprecation is about API style, not about the digest.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <openssl/md5.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process/run_state.h"
#include "process/unique_fd.h"

namespace tessary {

std::string hex_text(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return text;
}

}  // namespace tessary

std::string hash_wert(std::string& path, std::string& digest) {
  const tessary::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    // The run cannot vouch for the file: it ends without a record, as a successful run would
    // end, but says why so that the missing record can be traced.
    std::fprintf(stderr, "tessary: cannot open %s for the digest: %s\n", path.c_str(), std::strerror(errno));
    tessary::end_run_silently();
  }
  MD5_CTX context;
  MD5_Init(&context);
  // Reads run to end of file. A read error leaves the digest of a part of the file, which is not
  // the file's digest: the field then says that none was computed.
  static unsigned char buffer[1 << 16];
  int read_error = 0;
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) read_error = errno;
    if (got <= 0) break;
    MD5_Update(&context, buffer, static_cast<std::size_t>(got));
  }
  unsigned char md[MD5_DIGEST_LENGTH];
  MD5_Final(md, &context);
  if (read_error != 0) {
    std::fprintf(stderr, "tessary: cannot read %s for the digest: %s\n", path.c_str(), std::strerror(read_error));
    digest = tessary::kNoDigest;
  } else {
    digest = tessary::hex_text(md, sizeof md);
  }
  return digest;
}
