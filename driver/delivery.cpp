#include "driver/delivery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process/unique_fd.h"
#include "record/record.h"

namespace tessary {
namespace {

using Clock = std::chrono::steady_clock;

/// After the record is sent, how long and how much of the server's answer is read and dropped
/// before the connection is closed.
constexpr auto kLingerLimit = std::chrono::seconds(2);
constexpr std::size_t kLingerBytesMax = 64 * 1024;

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits until `fd` is ready for `events` or the deadline passes (errno ETIMEDOUT).
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, ms_until(deadline));
    if (n > 0) return true;
    if (n == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

bool connect_within(int fd, const sockaddr_in& address, Clock::time_point deadline) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (!wait_ready(fd, POLLOUT, deadline)) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

bool send_within(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_ready(fd, POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

/// Ends the send side and reads what the server still sends until it closes, at most
/// kLingerLimit and kLingerBytesMax. Closing a socket with unread bytes sends a reset, and a
/// reset can make the server drop record bytes it has not read yet; a server that answers
/// every line (as a Redis-like one does) would leave such bytes.
void close_gracefully(int fd) {
  if (shutdown(fd, SHUT_WR) != 0) return;
  const auto deadline = Clock::now() + kLingerLimit;
  std::size_t read_so_far = 0;
  char buffer[4096];
  while (read_so_far < kLingerBytesMax) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      read_so_far += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) return;  // the server closed its side
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return;
    if (!wait_ready(fd, POLLIN, deadline)) return;
  }
}

}  // namespace

unsigned short port_of(const std::string& text) {
  return static_cast<unsigned short>(std::strtol(text.c_str(), nullptr, 10) & 0xffff);
}

bool send_all(int fd, const char* data, std::size_t size) {
  return send_within(fd, data, size, Clock::now() + std::chrono::seconds(kNetworkTimeLimitSeconds));
}

bool deliver(const std::string& host, const std::string& port_text, std::string& path, std::string& file_name,
             const RecordFacts& facts, const std::string& digest, std::string& content, const std::string& stamp) {
  const unsigned short port = port_of(port_text);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  // A dotted address made only of digits and dots is what gethostbyname itself would parse
  // without asking the resolver; parsing it here spares reading the resolver's configuration.
  const bool dotted = !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
  if (!dotted || inet_aton(host.c_str(), &address.sin_addr) == 0) {
    const hostent* entry = gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) {
      std::fprintf(stderr, "tessary: cannot resolve index server host %s (port %u): %s\n", host.c_str(), port,
                   entry == nullptr ? hstrerror(h_errno) : "no IPv4 address");
      return false;
    }
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
  }

  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0 ||
      !connect_within(sock.get(), address, Clock::now() + std::chrono::seconds(kNetworkTimeLimitSeconds))) {
    std::fprintf(stderr, "tessary: cannot connect to index server %s port %u: %s\n", host.c_str(), port,
                 std::strerror(errno));
    return false;
  }

  normalise_texts(path, file_name, content);
  const std::string record = build_index_record(path, file_name, facts, digest, content, stamp);
  static const char kQuit[] = "quit\r\n";
  const auto deadline = Clock::now() + std::chrono::seconds(kNetworkTimeLimitSeconds);
  if (!send_within(sock.get(), record.data(), record.size(), deadline) ||
      !send_within(sock.get(), kQuit, sizeof kQuit - 1, deadline)) {
    std::fprintf(stderr, "tessary: cannot send the record to index server %s port %u: %s\n", host.c_str(), port,
                 std::strerror(errno));
    return false;
  }
  close_gracefully(sock.get());
  return true;
}

}  // namespace tessary
