// The search benchmark: 100,000 generated text files stored in SQLite and in PostgreSQL, word,
// phrase and prefix queries timed through tessary-search (one process per query, as a user runs
// it) and in process (what the search page pays), beside recollq on a recoll index of the same
// files. Prints a Markdown table.
//
//   tessary_search_bench DIR [COUNT [prepare|without-peer|peer-only]]
//
// DIR keeps the corpus, the SQLite store and the recoll index between runs (each is made when it
// is missing; "prepare" stops there); PostgreSQL is started in a temporary directory and filled
// on every run. "without-peer" measures tessary alone and says so in the table (for a run while
// the recoll index is still being built), "peer-only" recollq alone; otherwise a recoll that
// cannot run fails the run.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <httplib.h>

#include "search/search.h"
#include "tests/harness.h"
#include "tests/pg_harness.h"
#include "tests/search_fixture.h"
#include "tests/server_harness.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A fixed vocabulary of pronounceable words, used with Zipf frequencies.
std::vector<std::string> vocabulary(std::mt19937_64* rng) {
  static const char* kOnsets[] = {"b", "br", "c", "ch", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r",
                                  "s", "st", "t", "tr", "v", "w", "z"};
  static const char* kVowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "ea"};
  std::vector<std::string> words;
  std::uniform_int_distribution<int> syllables(1, 4);
  while (words.size() < 30000) {
    std::string w;
    for (int s = syllables(*rng); s > 0; --s) {
      w += kOnsets[(*rng)() % (sizeof kOnsets / sizeof *kOnsets)];
      w += kVowels[(*rng)() % (sizeof kVowels / sizeof *kVowels)];
    }
    words.push_back(w);
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  std::shuffle(words.begin(), words.end(), *rng);
  return words;
}

std::string file_path(const std::string& corpus, int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "/d%03d/f%06d.txt", i / 100, i);
  return corpus + buf;
}

std::string file_content(const std::vector<std::string>& words, const std::vector<double>& cdf, int i) {
  std::mt19937_64 rng(static_cast<std::uint64_t>(i) * 7919 + 17);
  std::uniform_real_distribution<double> u(0, 1);
  std::string text;
  const int count = 420 + static_cast<int>(rng() % 100);
  for (int k = 0; k < count; ++k) {
    const std::size_t rank = std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin();
    text += words[std::min(rank, words.size() - 1)];
    text += (k % 12 == 11) ? "\n" : " ";
  }
  return text;
}

struct Query {
  std::string kind;
  std::string tessary;  // tessary-search's language
  std::string recoll;   // recollq's language (the same here)
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Queries: words of every frequency, two-word phrases from the files, 3- and 4-letter prefixes.
std::vector<Query> make_queries(const std::vector<std::string>& words, const std::vector<double>& cdf, int count) {
  std::vector<Query> queries;
  std::mt19937_64 qrng(7);
  for (int k = 0; k < 40; ++k) {
    const std::string& w = words[static_cast<std::size_t>(std::pow(10.0, 1.0 + 3.0 * k / 40.0))];
    queries.push_back({"word", w, w});
  }
  for (int k = 0; k < 40; ++k) {
    const std::string text = file_content(words, cdf, static_cast<int>(qrng() % count));
    std::size_t at = text.find(' ', qrng() % (text.size() / 2)) + 1;
    const std::size_t mid = text.find_first_of(" \n", at);
    const std::size_t end = text.find_first_of(" \n", mid + 1);
    const std::string phrase = "\"" + text.substr(at, mid - at) + " " + text.substr(mid + 1, end - mid - 1) + "\"";
    queries.push_back({"phrase", phrase, phrase});
  }
  for (int k = 0; k < 40; ++k) {
    const std::string& w = words[qrng() % 3000];
    const std::string p = w.substr(0, std::min<std::size_t>(w.size(), 3 + k % 2)) + "*";
    queries.push_back({"prefix", p, p});
  }

  return queries;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tessary_search_bench DIR [COUNT]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 100000;
  const std::string corpus = dir + "/files";
  std::mt19937_64 rng(42);
  const std::vector<std::string> words = vocabulary(&rng);
  std::vector<double> cdf;
  double sum = 0;
  for (std::size_t r = 0; r < words.size(); ++r) cdf.push_back(sum += 1.0 / static_cast<double>(r + 1));
  for (double& c : cdf) c /= sum;

  // The corpus: COUNT files of about 3 KB.
  if (!exists(corpus + "/done")) {
    std::fprintf(stderr, "bench: writing %d files under %s\n", count, corpus.c_str());
    for (int i = 0; i < count; ++i) {
      if (i == 0) mkdir(corpus.c_str(), 0755);
      if (i % 100 == 0) mkdir((corpus + file_path("", i).substr(0, 5)).c_str(), 0755);
      std::ofstream(file_path(corpus, i)) << file_content(words, cdf, i);
    }
    std::ofstream(corpus + "/done") << count;
  }
  // The records, as the agent would send them for these files.
  std::vector<harness::StoredRecord> records;
  for (int i = 0; i < count; ++i) {
    harness::StoredRecord r;
    r.path = file_path(corpus, i);
    r.name = r.path.substr(r.path.rfind('/') + 1);
    char when[32];
    std::snprintf(when, sizeof when, "2024-%02d-%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28, i % 24, i % 60,
                  (i / 60) % 60);
    r.atime = r.mtime = r.ctime = when;
    r.content = file_content(words, cdf, i);
    r.size = static_cast<long long>(r.content.size());
    if (i % 10 == 0) r.md5 = std::string(31, 'a') + static_cast<char>('0' + i % 7);
    r.stamp = std::string(when) + ".000001";
    records.push_back(std::move(r));
  }
  const std::string sqlite_location = dir + "/index.db";
  if (!exists(sqlite_location)) {
    std::fprintf(stderr, "bench: filling %s\n", sqlite_location.c_str());
    const std::string error = harness::fill_store(sqlite_location, records);
    if (!error.empty()) {
      std::fprintf(stderr, "bench: %s\n", error.c_str());
      return 1;
    }
  }
  const std::string mode = argc > 3 ? argv[3] : "";
  const bool with_peer = mode != "without-peer";
  // The peer: a recoll index of the same files (no stemming, so it answers the same words).
  const std::string recoll_conf = dir + "/recoll";
  if (with_peer && !exists(recoll_conf + "/done")) {
    mkdir(recoll_conf.c_str(), 0755);
    std::ofstream(recoll_conf + "/recoll.conf") << "topdirs = " << corpus << "\nindexstemminglanguages =\n"
                                                << "skippedNames = done\nnoaspell = 1\nidxflushmb = 50\n";
    std::fprintf(stderr, "bench: recollindex over %s\n", corpus.c_str());
    const auto start = std::chrono::steady_clock::now();
    const harness::ProcessResult r = harness::run_process({"recollindex", "-c", recoll_conf}, {}, 7200);
    if (r.status != 0) {
      std::fprintf(stderr, "bench: recollindex failed (%d): %s\n", r.status, r.err.c_str());
      return 1;
    }
    std::fprintf(stderr, "bench: recollindex took %.0f s\n", ms_since(start) / 1000);
    std::ofstream(recoll_conf + "/done") << "1";
  }
  if (mode == "prepare") return 0;
  const std::vector<Query> queries = make_queries(words, cdf, count);
  if (mode == "peer-only") {
    std::vector<double> ms[3];
    for (int round = 0; round < 2; ++round) {
      for (std::size_t qi = 0; qi < queries.size(); ++qi) {
        if (round == 0 && qi % 40 >= 4) continue;
        const auto start = std::chrono::steady_clock::now();
        const harness::ProcessResult r =
            harness::run_process({"recollq", "-c", recoll_conf, "-n", "20", "-A", "-s", "", queries[qi].recoll});
        if (r.status != 0) {
          std::fprintf(stderr, "bench: recollq failed (%d): %s\n", r.status, r.err.c_str());
          return 1;
        }
        if (round == 1) ms[qi / 40].push_back(ms_since(start));
      }
    }
    std::printf("| recollq -n 20 -A (command) |");
    for (const auto& v : ms) std::printf(" %.1f | %.1f |", percentile(v, 0.5), percentile(v, 0.95));
    std::printf("\n");
    return 0;
  }

  std::fprintf(stderr, "bench: starting PostgreSQL and filling it\n");
  harness::PgServer pg;
  const std::string pg_location = pg.ok() ? pg.fresh_database() : "";
  if (pg_location.empty()) {
    std::fprintf(stderr, "bench: PostgreSQL: %s\n", pg.error().c_str());
    return 1;
  }
  std::string error = harness::fill_store(pg_location, records);
  if (!error.empty()) {
    std::fprintf(stderr, "bench: PostgreSQL: %s\n", error.c_str());
    return 1;
  }
  harness::run_process({"psql", pg_location, "-qc", "VACUUM ANALYZE"}, {}, 600);

  // Time every query: in process and as a command, on both stores; recollq as a command.
  struct Series {
    std::string name;
    std::vector<double> ms[3];  // word, phrase, prefix
  };
  std::vector<Series> series = {{"tessary-search, SQLite (command)", {}}, {"tessary-search, PostgreSQL (command)", {}},
                                {"search in process, SQLite", {}},      {"search in process, PostgreSQL", {}},
                                {"/api/search over HTTP, SQLite (tessary-server --http)", {}},
                                {"recollq -n 20 -A (command)", {}}};
  // The page's API, served by the real server over the same SQLite store.
  harness::ServerProcess server(sqlite_location, {"--http", "127.0.0.1:0"});
  int http_port = 0;
  harness::wait_until(
      [&] {
        const std::string log = server.log();
        const std::size_t at = log.find("search page on http://127.0.0.1:");
        if (at != std::string::npos) http_port = std::atoi(log.c_str() + at + 32);
        return http_port > 0;
      },
      std::chrono::seconds(30));
  if (http_port == 0) {
    std::fprintf(stderr, "bench: tessary-server --http did not start: %s\n", server.log().c_str());
    return 1;
  }
  httplib::Client http("127.0.0.1", http_port);
  http.set_read_timeout(60);
  std::string err;
  auto sqlite_reader = tessary::search::open_store(sqlite_location, &err);
  auto pg_reader = tessary::search::open_store(pg_location, &err);
  if (!sqlite_reader || !pg_reader) {
    std::fprintf(stderr, "bench: %s\n", err.c_str());
    return 1;
  }
  // The SQLite side (its command, in process, the page's API, and recollq beside them) and then
  // the PostgreSQL side, each in rounds of its own: a user runs one store, and the work that one
  // PostgreSQL query leaves behind in the server must not be charged to the next SQLite query.
  // A first, uncounted round over a few queries of each kind warms the caches.
  for (int side = 0; side < 2; ++side) {
    const bool postgres = side == 1;
    for (int round = 0; round < 2; ++round) {
      for (std::size_t qi = 0; qi < queries.size(); ++qi) {
        const Query& q = queries[qi];
        if (round == 0 && qi % 40 >= 4) continue;
        const int kind = q.kind == "word" ? 0 : q.kind == "phrase" ? 1 : 2;
        const auto keep = [&](int series_index, double ms) {
          if (round == 1) series[static_cast<std::size_t>(series_index)].ms[kind].push_back(ms);
        };
        {
          const auto start = std::chrono::steady_clock::now();
          const harness::ProcessResult r = harness::run_process(
              {TESSARY_SEARCH_BINARY, "--store", postgres ? pg_location : sqlite_location, "--json", q.tessary});
          keep(postgres ? 1 : 0, ms_since(start));
          if (r.status > 1) {
            std::fprintf(stderr, "bench: tessary-search failed: %s\n", r.err.c_str());
            return 1;
          }
        }
        {
          tessary::search::Request request;
          request.query = tessary::search::parse_query(q.tessary);
          tessary::search::Result result;
          const auto start = std::chrono::steady_clock::now();
          if (!tessary::search::run_search(postgres ? *pg_reader : *sqlite_reader, request, &result, &err)) {
            std::fprintf(stderr, "bench: %s\n", err.c_str());
            return 1;
          }
          keep(postgres ? 3 : 2, ms_since(start));
        }
        if (postgres) continue;
        {
          const auto start = std::chrono::steady_clock::now();
          const auto res =
              http.Get(("/api/search?" + httplib::detail::params_to_query_str({{"q", q.tessary}})).c_str());
          keep(4, ms_since(start));
          if (!res || res->status != 200) {
            std::fprintf(stderr, "bench: /api/search failed\n");
            return 1;
          }
        }
        if (!with_peer) continue;
        const auto start = std::chrono::steady_clock::now();
        const harness::ProcessResult r =
            harness::run_process({"recollq", "-c", recoll_conf, "-n", "20", "-A", "-s", "", q.recoll});
        keep(5, ms_since(start));
        if (r.status != 0) {
          std::fprintf(stderr, "bench: recollq failed (%d): %s\n", r.status, r.err.c_str());
          return 1;
        }
      }
    }
  }
  std::printf("Search over %d stored records, %zu queries of each kind (limit 20), milliseconds:\n\n", count,
              queries.size() / 3);
  std::printf("| | word p50 | word p95 | phrase p50 | phrase p95 | prefix p50 | prefix p95 |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const Series& s : series) {
    if (s.ms[0].empty()) {
      std::printf("| %s | not measured (without-peer) | | | | | |\n", s.name.c_str());
      continue;
    }
    std::printf("| %s |", s.name.c_str());
    for (const auto& v : s.ms) std::printf(" %.1f | %.1f |", percentile(v, 0.5), percentile(v, 0.95));
    std::printf("\n");
  }
  return 0;
}
