// Ingest load for the benchmark: replays agent records (one per connection, each with a path
// made unique) from several senders at once against an index server on 127.0.0.1, and watches
// the store for each record to become visible to a reader.
//
//   tessary_ingest_bench --port N --records DIR --count N [--senders 8]
//                        [--watch SQLITE_PATH | --watch postgresql://...] [--redis]
//
// DIR holds one file per agent run: the bytes the agent sent (record, then "quit\r\n"). Prints
// one line "key=value ..." with records, seconds, records_per_s and, with --watch, the delay
// from a connection's end until its record is visible (p50, p99, max in ms). With --redis the
// peer is a redis-server: the replies are read and "accepted" counts the records answered +OK.
#include <arpa/inet.h>
#include <dirent.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0;
  std::string records_dir;
  int count = 0;
  int senders = 8;
  std::string watch;
  bool redis = false;
};

std::vector<std::string> load_records(const std::string& dir) {
  std::vector<std::string> records;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return records;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    const std::string quit = "quit\r\n";
    if (bytes.size() > quit.size() && bytes.compare(bytes.size() - quit.size(), quit.size(), quit) == 0)
      bytes.resize(bytes.size() - quit.size());
    if (bytes.rfind("set '#PFAD#/", 0) == 0) records.push_back(bytes);
  }
  closedir(d);
  std::sort(records.begin(), records.end());
  return records;
}

// The record with "/b<i>" put in front of its path: a path of its own, the same name.
std::string unique_record(const std::string& record, int i) {
  static const std::string head = "set '#PFAD#";
  return head + "/b" + std::to_string(i) + record.substr(head.size());
}

std::string path_of(int i, const std::string& record) {
  const std::string head = "set '#PFAD#";
  const std::size_t end = record.find("#DATEINAME#");
  return "/b" + std::to_string(i) + record.substr(head.size(), end - head.size());
}

// Sends one connection's bytes; returns the peer's reply (read to its close).
bool deliver(int port, const std::string& bytes, std::string* reply) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) reply->append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return true;
}

// Polls the store for rows it has not seen yet; calls `seen(path, when)` for each.
class Watcher {
 public:
  explicit Watcher(const std::string& location) : location_(location) {}
  bool open(std::string* error) {
    if (location_.rfind("postgres", 0) == 0) {
      pg_ = PQconnectdb(location_.c_str());
      if (PQstatus(pg_) != CONNECTION_OK) return *error = PQerrorMessage(pg_), false;
      return true;
    }
    if (sqlite3_open_v2(location_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      return *error = sqlite3_errmsg(db_), false;
    sqlite3_busy_timeout(db_, 1000);
    return sqlite3_prepare_v2(db_, "SELECT id, path FROM files WHERE id > ?1", -1, &stmt_, nullptr) == SQLITE_OK ||
           (*error = sqlite3_errmsg(db_), false);
  }
  ~Watcher() {
    if (stmt_) sqlite3_finalize(stmt_);
    if (db_) sqlite3_close_v2(db_);
    if (pg_) PQfinish(pg_);
  }
  template <typename F>
  void poll(F seen) {
    const Clock::time_point now = Clock::now();
    if (pg_) {
      // Rows of transactions after the last one seen (the database is fresh: no wraparound).
      const std::string last = std::to_string(last_xid_);
      const char* values[] = {last.c_str()};
      PGresult* r = PQexecParams(pg_, "SELECT encode(path, 'escape'), xmin::text::bigint FROM tessary_files "
                                      "WHERE xmin::text::bigint > $1::bigint", 1, nullptr, values, nullptr, nullptr, 0);
      long long top = last_xid_;
      for (int i = 0; i < PQntuples(r); ++i) {
        seen(std::string(PQgetvalue(r, i, 0)), now);
        top = std::max(top, std::atoll(PQgetvalue(r, i, 1)));
      }
      PQclear(r);
      last_xid_ = top;
      return;
    }
    sqlite3_bind_int64(stmt_, 1, last_id_);
    while (sqlite3_step(stmt_) == SQLITE_ROW) {
      last_id_ = std::max<long long>(last_id_, sqlite3_column_int64(stmt_, 0));
      seen(std::string(static_cast<const char*>(sqlite3_column_blob(stmt_, 1)),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, 1))),
           now);
    }
    sqlite3_reset(stmt_);
  }

 private:
  std::string location_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  PGconn* pg_ = nullptr;
  long long last_id_ = 0;
  long long last_xid_ = 0;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  // Read the command line.
  Options o;
  for (int i = 1; i + 1 < argc || (i < argc && std::strcmp(argv[i], "--redis") == 0); ++i) {
    const std::string key = argv[i];
    if (key == "--redis") { o.redis = true; continue; }
    const std::string value = argv[++i];
    if (key == "--port") o.port = std::atoi(value.c_str());
    else if (key == "--records") o.records_dir = value;
    else if (key == "--count") o.count = std::atoi(value.c_str());
    else if (key == "--senders") o.senders = std::atoi(value.c_str());
    else if (key == "--watch") o.watch = value;
  }
  const std::vector<std::string> records = load_records(o.records_dir);
  if (o.port <= 0 || o.count <= 0 || o.senders <= 0 || records.empty()) {
    std::fprintf(stderr, "tessary_ingest_bench: need --port, --count and --records DIR with agent records\n");
    return 2;
  }

  // Open the reader that watches for the records.
  std::unique_ptr<Watcher> watcher;
  if (!o.watch.empty()) {
    watcher = std::make_unique<Watcher>(o.watch);
    std::string error;
    if (!watcher->open(&error)) {
      std::fprintf(stderr, "tessary_ingest_bench: %s: %s\n", o.watch.c_str(), error.c_str());
      return 1;
    }
  }

  // Send from every sender at once; each connection's end time is kept per path.
  std::mutex mutex;
  std::unordered_map<std::string, Clock::time_point> ended;
  std::unordered_map<std::string, Clock::time_point> visible;
  std::atomic<int> next{0}, accepted{0}, failed{0};
  std::atomic<bool> sending{true};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> senders;
  for (int s = 0; s < o.senders; ++s) {
    senders.emplace_back([&] {
      for (int i = next++; i < o.count; i = next++) {
        const std::string& base = records[static_cast<std::size_t>(i) % records.size()];
        std::string reply;
        if (!deliver(o.port, unique_record(base, i) + "quit\r\n", &reply)) {
          ++failed;
          continue;
        }
        const Clock::time_point now = Clock::now();
        if (o.redis) {
          if (reply.rfind("+OK", 0) == 0) ++accepted;
        } else {
          std::lock_guard<std::mutex> lock(mutex);
          ended[path_of(i, base)] = now;
        }
      }
    });
  }
  std::thread reader;
  if (watcher) {
    reader = std::thread([&] {
      for (;;) {
        const bool last_round = !sending;
        watcher->poll([&](const std::string& path, Clock::time_point when) {
          std::lock_guard<std::mutex> lock(mutex);
          visible.emplace(path, when);
        });
        if (last_round) {
          std::lock_guard<std::mutex> lock(mutex);
          if (visible.size() >= ended.size()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!sending && Clock::now() - start > std::chrono::seconds(600)) break;
      }
    });
  }
  for (std::thread& t : senders) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sending = false;
  if (reader.joinable()) reader.join();

  // Report.
  std::printf("records=%d failed=%d seconds=%.2f records_per_s=%.0f", o.count, failed.load(), seconds,
              static_cast<double>(o.count - failed) / seconds);
  if (o.redis) std::printf(" accepted=%d", accepted.load());
  if (watcher) {
    std::vector<double> delays;
    int missing = 0;
    for (const auto& entry : ended) {
      const auto found = visible.find(entry.first);
      if (found == visible.end()) {
        ++missing;
        continue;
      }
      delays.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(found->second - entry.second).count()));
    }
    const double all_visible = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(" visible=%zu missing=%d p50_ms=%.1f p99_ms=%.1f max_ms=%.1f seconds_to_all_visible=%.2f",
                delays.size(), missing, percentile(delays, 0.5), percentile(delays, 0.99),
                percentile(delays, 1.0), all_visible);
  }
  std::printf("\n");
  return failed == 0 ? 0 : 1;
}
