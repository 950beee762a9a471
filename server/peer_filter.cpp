#include "server/peer_filter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tessary::server {

bool parse_cidr(const std::string& text, Cidr* cidr) {
  const std::size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  Cidr c;
  if (inet_pton(AF_INET, address.c_str(), c.address) == 1) {
    c.family = AF_INET;
    c.prefix = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), c.address) == 1) {
    c.family = AF_INET6;
    c.prefix = 128;
  } else {
    return false;
  }
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(bits);
    if (n > c.prefix) return false;
    c.prefix = n;
  }
  *cidr = c;
  return true;
}

namespace {

bool prefix_matches(const unsigned char* a, const unsigned char* b, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool peer_allowed(const std::vector<Cidr>& allow, const sockaddr_storage& peer) {
  if (allow.empty()) return true;
  int family = peer.ss_family;
  unsigned char address[16] = {};
  if (family == AF_INET) {
    std::memcpy(address, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
  } else if (family == AF_INET6) {
    const in6_addr& six = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
      family = AF_INET;
      std::memcpy(address, six.s6_addr + 12, 4);
    } else {
      std::memcpy(address, six.s6_addr, 16);
    }
  } else {
    return false;
  }
  for (const Cidr& c : allow) {
    if (c.family == family && prefix_matches(c.address, address, c.prefix)) return true;
  }
  return false;
}

std::string peer_text(const sockaddr_storage& peer) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer.ss_family == AF_INET) {
    const auto& four = reinterpret_cast<const sockaddr_in&>(peer);
    inet_ntop(AF_INET, &four.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(four.sin_port));
  }
  if (peer.ss_family == AF_INET6) {
    const auto& six = reinterpret_cast<const sockaddr_in6&>(peer);
    inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(six.sin6_port));
  }
  return "unknown peer";
}

}  // namespace tessary::server
