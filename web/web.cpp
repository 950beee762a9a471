#include "web/web.h"

#include <httplib.h>

#include <map>

#include "search/search.h"
#include "search/text.h"
#include "web/assets.h"

namespace tessary::web {

namespace {

constexpr const char* kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

std::string error_json(const std::string& message) {
  std::string out = "{\"error\":";
  search::append_json_string(message, &out);
  return out + "}";
}

// One open store per serving thread, kept between requests (a PostgreSQL connection is
// expensive to make); dropped after a store error so the next request opens it afresh.
struct ThreadStore {
  std::unique_ptr<search::StoreReader> reader;
  std::string location;
};

ThreadStore& thread_slot() {
  thread_local ThreadStore slot;
  return slot;
}

search::StoreReader* thread_store(const std::string& location, std::string* error) {
  ThreadStore& slot = thread_slot();
  if (!slot.reader || slot.location != location) {
    slot.reader = search::open_store(location, error);
    slot.location = location;
  }
  return slot.reader.get();
}

void drop_thread_store() { thread_slot().reader.reset(); }

}  // namespace

bool parse_http_address(const std::string& text, bool allow_zero, std::string* host, int* port) {
  std::string port_text = text;
  *host = "127.0.0.1";
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    *host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
    *host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  if (host->empty() || port_text.empty() || port_text.size() > 5) return false;
  int value = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535 || (value == 0 && !allow_zero)) return false;
  *port = value;
  return true;
}

ApiAnswer api_search(const std::string& store_location, const std::vector<std::pair<std::string, std::string>>& params) {
  // The URL parameters of the filters are the command's options, with '_' for '-'.
  static const std::map<std::string, std::string> kFields = {
      {"q", "query"},        {"path", "path"},     {"name", "name"},     {"min_size", "min-size"},
      {"max_size", "max-size"}, {"after", "after"}, {"before", "before"}, {"digest", "digest"},
      {"limit", "limit"},    {"offset", "offset"}};
  search::Request request;
  std::map<std::string, int> seen;
  for (const auto& [key, value] : params) {
    if (++seen[key] > 1) return {400, error_json(key + ": given more than once")};
    std::string error;
    if (key == "duplicates" || key == "content") {
      if (value != "0" && value != "1" && value != "true" && value != "false" && !value.empty()) {
        return {400, error_json(key + ": not 0, 1, true or false: " + value)};
      }
      (key == "duplicates" ? request.duplicates : request.content) = value == "1" || value == "true" || value.empty();
      continue;
    }
    const auto field = kFields.find(key);
    if (field == kFields.end()) return {400, error_json(key + ": unknown parameter")};
    if (!search::set_field(&request, field->second, value, key, &error)) return {400, error_json(error)};
  }
  std::string error;
  search::StoreReader* store = thread_store(store_location, &error);
  search::Result result;
  if (store == nullptr || !search::run_search(*store, request, &result, &error)) {
    drop_thread_store();
    return {503, error_json("the store cannot be read: " + error)};
  }
  std::string body = "{\"total\":" + std::to_string(result.total) + ",\"results\":[";
  for (std::size_t i = 0; i < result.rows.size(); ++i) {
    if (i > 0) body += ",";
    body += search::row_json(result.rows[i], request.content);
  }
  return {200, body + "]}"};
}

ApiAnswer api_stats(const std::string& store_location) {
  std::string error;
  search::StoreReader* store = thread_store(store_location, &error);
  search::Stats stats;
  if (store == nullptr || !store->stats(&stats, &error)) {
    drop_thread_store();
    return {503, error_json("the store cannot be read: " + error)};
  }
  std::string body = "{\"records\":" + std::to_string(stats.records) +
                     ",\"rejected\":" + std::to_string(stats.rejected) + ",\"last_received\":";
  if (stats.last_received) {
    search::append_json_string(*stats.last_received, &body);
  } else {
    body += "null";
  }
  return {200, body + "}"};
}

HttpServer::HttpServer(Options options) : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
  routes();
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const std::string& host, int port, std::string* error) {
  const int bound = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    *error = "cannot listen on " + host + " port " + std::to_string(port);
    return false;
  }
  port_ = bound;
  return true;
}

void HttpServer::start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpServer::stop() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void HttpServer::routes() {
  const int threads = options_.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  server_->set_read_timeout(10);
  server_->set_write_timeout(30);
  server_->set_keep_alive_timeout(5);
  server_->set_payload_max_length(64 * 1024);
  server_->set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"},
                                {"Cross-Origin-Resource-Policy", "same-origin"}});
  // Peers outside --allow get nothing but 403; every method but GET and HEAD is refused.
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (options_.allowed && !options_.allowed(req.remote_addr)) {
      res.status = 403;
      res.set_content(error_json("forbidden"), "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content(error_json("only GET and HEAD are served"), "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  for (const Asset& asset : assets()) {
    const std::string path = asset.path;
    server_->Get(path == "/index.html" ? "/" : path, [asset](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-cache");
      res.set_content(asset.data, asset.size, asset.type);
    });
  }
  const std::string location = options_.store_location;
  const auto json = [](httplib::Response& res, const ApiAnswer& answer) {
    res.status = answer.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(answer.body, "application/json; charset=utf-8");
  };
  server_->Get("/api/search", [location, json](const httplib::Request& req, httplib::Response& res) {
    std::vector<std::pair<std::string, std::string>> params(req.params.begin(), req.params.end());
    json(res, api_search(location, params));
  });
  server_->Get("/api/stats", [location, json](const httplib::Request&, httplib::Response& res) {
    json(res, api_stats(location));
  });
  server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      res.set_content(error_json(res.status == 404 ? "not found" : "bad request"), "application/json");
    }
  });
  server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content(error_json("internal error"), "application/json");
  });
}

}  // namespace tessary::web
