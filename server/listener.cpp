#include "server/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "server/log.h"

namespace tessary::server {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from one connection per turn of the loop, so one fast peer cannot starve the rest.
constexpr std::size_t kReadChunk = 64 * 1024;
// How long open connections may still finish once a stop was asked for.
constexpr auto kStopGrace = std::chrono::seconds(1);

// A descriptor closed when its owner goes away.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Connection {
  Connection(int fd, std::string peer_name, std::size_t limit, Clock::time_point now)
      : socket(fd), peer(std::move(peer_name)), stream(limit), last_byte(now), window_start(now) {}
  Fd socket;
  std::string peer;
  RecordStream stream;
  Clock::time_point last_byte;
  Clock::time_point window_start;  // start of the current drip window
  std::size_t window_bytes = 0;    // bytes received in it
};

class Loop {
 public:
  Loop(const ConnectionLimits& limits, Writer* writer) : limits_(limits), writer_(writer) {}

  bool run(const std::vector<int>& sockets, const sigset_t& signals, std::string* error) {
    epoll_ = std::make_unique<Fd>(epoll_create1(EPOLL_CLOEXEC));
    signals_ = std::make_unique<Fd>(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (epoll_->get() < 0 || signals_->get() < 0) {
      *error = std::string("cannot set up the event loop: ") + std::strerror(errno);
      return false;
    }
    watch(signals_->get());
    for (int s : sockets) {
      listeners_.push_back(s);
      watch(s);
    }
    std::vector<epoll_event> events(256);
    Clock::time_point stop_at{};
    Clock::time_point next_sweep = Clock::now() + std::chrono::seconds(1);
    for (;;) {
      const int n = epoll_wait(epoll_->get(), events.data(), static_cast<int>(events.size()), 200);
      if (n < 0 && errno != EINTR) {
        *error = std::string("epoll_wait: ") + std::strerror(errno);
        return false;
      }
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<std::size_t>(i)].data.fd;
        if (fd == signals_->get()) {
          signalfd_siginfo info{};
          while (read(fd, &info, sizeof info) == sizeof info) {
          }
          if (!stopping_) {
            stopping_ = true;
            stop_at = Clock::now() + kStopGrace;
            stop_accepting();
          }
        } else if (is_listener(fd)) {
          accept_all(fd);
        } else {
          serve_readable(fd);
        }
      }
      const Clock::time_point now = Clock::now();
      if (now >= next_sweep) {
        sweep(now);
        next_sweep = now + std::chrono::seconds(1);
      }
      if (stopping_ && (connections_.empty() || now >= stop_at)) break;
    }
    for (auto& entry : connections_) {
      if (entry.second->stream.pending() > 0) {
        log_line(entry.second->peer + ": server stopping; an unfinished record of " +
                 std::to_string(entry.second->stream.pending()) + " bytes is dropped");
        ++dropped_;
      }
    }
    connections_.clear();
    submit({}, take_dropped());
    return true;
  }

 private:
  void watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_->get(), EPOLL_CTL_ADD, fd, &event);
  }

  // True when a stop signal waits to be read: a hand-over blocked on a slow or failing store
  // then stops waiting, so that the stop is not held up by it.
  bool stop_pending() const {
    if (stopping_) return true;
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
  }

  bool is_listener(int fd) const {
    for (int s : listeners_) {
      if (s == fd) return true;
    }
    return false;
  }

  void stop_accepting() {
    for (int s : listeners_) close(s);  // also leaves the epoll set
    listeners_.clear();
  }

  void accept_all(int listener) {
    for (;;) {
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
          // Out of descriptors: the waiting peers stay in the backlog until a connection ends.
          if (!out_of_descriptors_) log_line(std::string("cannot accept: ") + std::strerror(errno));
          out_of_descriptors_ = true;
        }
        return;  // EAGAIN, or an aborted handshake: nothing more to take now
      }
      out_of_descriptors_ = false;
      const std::string name = peer_text(peer);
      if (!peer_allowed(limits_.allow, peer)) {
        log_line(name + ": not allowed by --allow; connection closed");
        close(fd);
        continue;
      }
      connections_[fd] = std::make_unique<Connection>(fd, name, limits_.record_limit, Clock::now());
      watch(fd);
    }
  }

  // Reads one chunk from the connection and hands on what it completes.
  void serve_readable(int fd) {
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    Connection& c = *found->second;
    const ssize_t got = read(fd, buffer_, sizeof buffer_);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    std::vector<StreamItem> items;
    if (got <= 0) {
      // The peer's end, or an error such as a reset: what came before still counts.
      if (got < 0) log_line(c.peer + ": " + std::strerror(errno));
      c.stream.finish(&items);
      hand_over(c, &items);
      end(fd);
      return;
    }
    const Clock::time_point now = Clock::now();
    c.last_byte = now;
    c.window_bytes += static_cast<std::size_t>(got);
    const RecordStream::State state = c.stream.feed(std::string_view(buffer_, static_cast<std::size_t>(got)), &items);
    hand_over(c, &items);
    if (state == RecordStream::State::kQuit) {
      end(fd);
    } else if (state == RecordStream::State::kTooLong) {
      log_line(c.peer + ": record longer than " + std::to_string(limits_.record_limit) +
               " bytes (--record-limit); connection closed");
      ++dropped_;
      submit({}, take_dropped());
      end(fd);
    }
  }

  void hand_over(const Connection& c, std::vector<StreamItem>* items) {
    if (items->empty()) return;
    std::vector<IndexRecord> records;
    std::uint64_t rejected = 0;
    for (StreamItem& item : *items) {
      if (item.kind == StreamItem::Kind::kRecord) {
        records.push_back(std::move(item.record));
      } else {
        ++rejected;
        log_line(c.peer + ": malformed record (" + item.why + ", " + std::to_string(item.length) + " bytes): \"" +
                 escape_for_log(item.excerpt, RecordStream::kExcerptMax) +
                 (item.length > item.excerpt.size() ? "...\"" : "\""));
      }
    }
    submit(std::move(records), rejected);
  }

  // Closes connections that stay silent or drip.
  void sweep(Clock::time_point now) {
    const auto window = std::chrono::seconds(limits_.idle_seconds);
    if (held_back_) {
      // The loop waited for the store: peers that were not read meanwhile were not silent.
      held_back_ = false;
      for (auto& entry : connections_) {
        entry.second->last_byte = std::max(entry.second->last_byte, now - std::chrono::seconds(1));
        if (now - entry.second->window_start >= window) {
          entry.second->window_start = now;
          entry.second->window_bytes = 0;
        }
      }
      return;
    }
    std::vector<int> to_end;
    for (auto& entry : connections_) {
      Connection& c = *entry.second;
      std::string reason;
      if (now - c.last_byte >= window) {
        reason = "idle for " + std::to_string(limits_.idle_seconds) + " s";
      } else if (now - c.window_start >= window) {
        if (c.window_bytes < limits_.drip_bytes) {
          reason = "too slow: " + std::to_string(c.window_bytes) + " bytes in " +
                   std::to_string(limits_.idle_seconds) + " s";
        } else {
          c.window_start = now;
          c.window_bytes = 0;
        }
      }
      if (reason.empty()) continue;
      const std::size_t pending = c.stream.pending();
      if (pending > 0) {
        reason += "; an unfinished record of " + std::to_string(pending) + " bytes is dropped";
        ++dropped_;
      }
      log_line(c.peer + ": " + reason + "; connection closed");
      to_end.push_back(entry.first);
    }
    for (int fd : to_end) end(fd);
    if (dropped_ > 0) submit({}, take_dropped());
  }

  // Hands records and counts to the writer; while it waits for room, a stop ends the wait.
  void submit(std::vector<IndexRecord>&& records, std::uint64_t rejected) {
    if (writer_->submit(std::move(records), rejected, [this] { return stop_pending(); })) held_back_ = true;
  }

  std::uint64_t take_dropped() {
    const std::uint64_t n = dropped_;
    dropped_ = 0;
    return n;
  }

  void end(int fd) { connections_.erase(fd); }  // closing also leaves the epoll set

  ConnectionLimits limits_;
  Writer* writer_;
  std::unique_ptr<Fd> epoll_;
  std::unique_ptr<Fd> signals_;
  std::vector<int> listeners_;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::uint64_t dropped_ = 0;
  bool out_of_descriptors_ = false;
  bool held_back_ = false;  // a hand-over waited for the writer since the last sweep
  bool stopping_ = false;   // a stop signal came: nothing more is accepted
  char buffer_[kReadChunk];
};

}  // namespace

bool open_listeners(const std::string& address, std::vector<int>* sockets, std::vector<std::string>* names,
                    std::string* error) {
  std::string host, port;
  if (!split_host_port(address, &host, &port)) {
    *error = address + ": not HOST:PORT";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = address + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    const int one = 1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (fd >= 0) {
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      // An IPv6 socket takes IPv6 only: "[::]" and "0.0.0.0" are bound separately when a name has both.
      if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (fd < 0 || bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      sockaddr_storage wanted{};
      std::memcpy(&wanted, a->ai_addr, a->ai_addrlen);
      *error = peer_text(wanted) + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
      for (int s : *sockets) close(s);
      sockets->clear();
      names->clear();
      return false;
    }
    sockets->push_back(fd);
    names->push_back(peer_text(bound));
  }
  return true;
}

bool serve(const std::vector<int>& sockets, const ConnectionLimits& limits, const sigset_t& signals, Writer* writer,
           std::string* error) {
  auto loop = std::make_unique<Loop>(limits, writer);
  return loop->run(sockets, signals, error);
}

}  // namespace tessary::server
