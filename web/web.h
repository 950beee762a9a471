// The search page and its JSON API, served over HTTP by cpp-httplib.
//
//   GET /                the page (static files built into the program: /, /app.js, /style.css)
//   GET /api/search      q, path, name, min_size, max_size, after, before, digest, duplicates,
//                        limit (default 20, 0 for all), offset, content: the answer of
//                        tessary-search --json as {"total": N, "results": [...]}
//   GET /api/stats       {"records": N, "rejected": N, "last_received": "..." or null}
//
// Bad parameters are answered with 400 and {"error": "..."}; nothing can be written. Every
// response carries a Content-Security-Policy that allows only the program's own script and
// style, so text from a record can never run as code even if a page bug put it into markup.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tessary::web {

/// What the HTTP server needs to know.
struct Options {
  std::string store_location;  ///< the store to read (file path or postgresql:// URI)
  /// Decides whether a peer (its address as text, e.g. "127.0.0.1" or "::1") may be served;
  /// empty: everyone. A refused peer gets 403 and nothing else.
  std::function<bool(const std::string& address)> allowed;
  int threads = 8;  ///< requests answered at once
};

/// Reads "[HOST:]PORT" (HOST a name, an IPv4 address, or an IPv6 address in brackets; without
/// a host 127.0.0.1). False for anything else, or a port outside 1-65535 (0 when `allow_zero`).
bool parse_http_address(const std::string& text, bool allow_zero, std::string* host, int* port);

/// An HTTP server answering the page and the API on threads of its own.
class HttpServer {
 public:
  explicit HttpServer(Options options);
  /// Stops serving and waits for the threads.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  /// Binds HOST:PORT (PORT 0: any free port, see port()). False with `*error` when it cannot.
  bool bind(const std::string& host, int port, std::string* error);
  /// The bound port.
  int port() const { return port_; }
  /// Starts answering on a thread of its own (after bind()).
  void start();
  /// Stops answering; connections in progress are finished. Safe to call twice.
  void stop();

 private:
  void routes();
  Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

/// The answer to /api/search for URL parameters `params` (name, value pairs): the HTTP status
/// and the JSON body. Used by the server; public so tests compare it with the command.
struct ApiAnswer {
  int status = 200;
  std::string body;
};
ApiAnswer api_search(const std::string& store_location, const std::vector<std::pair<std::string, std::string>>& params);
/// The answer to /api/stats.
ApiAnswer api_stats(const std::string& store_location);

}  // namespace tessary::web
