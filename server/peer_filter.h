// Which peers may send: address blocks in CIDR notation, and the text of a peer's address.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

namespace tessary::server {

/// One address block, IPv4 or IPv6.
struct Cidr {
  int family = 0;                  ///< AF_INET or AF_INET6
  unsigned char address[16] = {};  ///< network byte order; 4 bytes used for IPv4
  int prefix = 0;                  ///< leading bits that must match
};

/// Parses "ADDRESS/BITS" or a bare address (all its bits); host bits beyond the prefix are
/// ignored. False for anything else, also for more bits than the address has.
bool parse_cidr(const std::string& text, Cidr* cidr);

/// True when `allow` is empty or one of its blocks holds the peer. An IPv4 peer seen on an IPv6
/// socket (::ffff:a.b.c.d) is matched as the IPv4 address it is.
bool peer_allowed(const std::vector<Cidr>& allow, const sockaddr_storage& peer);

/// "a.b.c.d:port" or "[v6]:port".
std::string peer_text(const sockaddr_storage& peer);

}  // namespace tessary::server
