// tessary-search: finds stored files by their content, name, size, time or digest.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "search/match.h"
#include "search/search.h"
#include "search/text.h"

namespace {

constexpr const char* kDefaultStore = "/var/lib/tessary/index.db";

constexpr const char* kUsage =
    "usage: tessary-search [--store STORE] [--path PREFIX] [--name GLOB] [--min-size N] [--max-size N]\n"
    "                      [--after DATE] [--before DATE] [--digest MD5] [--duplicates] [--limit N]\n"
    "                      [--offset N] [--json] [--content] [--help] [--version] [QUERY...]\n";

constexpr const char* kHelp =
    "NAME\n"
    "    tessary-search - find indexed files by content, name, size, time or digest\n"
    "\n"
    "SYNOPSIS\n"
    "    tessary-search [OPTION]... [QUERY...]\n"
    "\n"
    "DESCRIPTION\n"
    "    Searches the index store that tessary-server fills. The words of QUERY (all arguments\n"
    "    joined by blanks) must all occur in a file's content:\n"
    "        word        the word, in any case\n"
    "        \"a phrase\"  the words one right after the other (quote the quotes in a shell:\n"
    "                    tessary-search '\"quick brown\"')\n"
    "        prefix*     a word that starts with prefix\n"
    "    Words are runs of letters and digits; everything else separates them. Results are\n"
    "    ranked by relevance (occurrences, for the content's length), then newest modification\n"
    "    time. Without QUERY every file is listed, newest first.\n"
    "\n"
    "OPTIONS\n"
    "    --store STORE      the store: an SQLite file (default /var/lib/tessary/index.db) or a\n"
    "                      postgresql:// or postgres:// URI; only read, never changed\n"
    "    --path PREFIX     only paths that start with PREFIX (compared byte by byte)\n"
    "    --name GLOB       only file names matching GLOB (*, ?, [a-z], [!x]; letters of any case)\n"
    "    --min-size N      only files of at least N bytes (suffixes k, M, G, T: powers of 1024)\n"
    "    --max-size N      only files of at most N bytes\n"
    "    --after DATE      only files modified at or after DATE (YYYY-MM-DD [HH:MM[:SS]], the\n"
    "                      record's own wall-clock time)\n"
    "    --before DATE     only files modified before DATE\n"
    "    --digest MD5      only files with this MD5 digest\n"
    "    --duplicates      only files whose digest another stored file shares, largest first,\n"
    "                      grouped by digest (a file without a digest is never a duplicate)\n"
    "    --limit N         at most N results (default 20; 0 for all)\n"
    "    --offset N        skip the first N results\n"
    "    --json            one JSON object a line: path, name, atime, mtime, ctime\n"
    "                      (YYYY-MM-DDTHH:MM:SS), size, md5 (null when not computed), stamp\n"
    "                      (YYYY-MM-DDTHH:MM:SS.ffffff), snippet; hits in the snippet are\n"
    "                      enclosed in U+0002 and U+0003\n"
    "    --content         with --json, also the whole stored content\n"
    "    --help            show this help and exit\n"
    "    --version         show the version and exit\n"
    "\n"
    "OUTPUT\n"
    "    On a terminal, a table: size, modification time and path, then a snippet of the\n"
    "    content with the hits highlighted. Control characters and bidirectional controls of\n"
    "    stored text are shown as escapes (\\n, \\x1b, \\u202e). Stored bytes that are not valid\n"
    "    UTF-8 are shown, in the table and in JSON, as U+FFFD, one for each such byte.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 something matched, 1 nothing matched, 2 a usage error or the store cannot be read.\n";

enum Option { kStore = 256, kPath, kName, kMinSize, kMaxSize, kAfter, kBefore, kDigest, kDuplicates, kLimit,
              kOffset, kJson, kContent, kHelpOption, kVersion };

// A size for people: bytes below 10 KiB, then K, M, G with one decimal.
std::string human_size(std::int64_t bytes) {
  if (bytes < 10 * 1024) return std::to_string(bytes);
  const char* units = "KMGTP";
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, value < 100 ? "%.1f%c" : "%.0f%c", value, units[unit]);
  return buf;
}

// The snippet for the table: escaped, hits highlighted on a terminal or bracketed elsewhere.
std::string table_snippet(const std::string& snippet, bool terminal) {
  std::string out;
  std::size_t start = 0;
  while (start <= snippet.size()) {
    std::size_t mark = snippet.find_first_of("\x02\x03", start);
    const std::size_t end = mark == std::string::npos ? snippet.size() : mark;
    out += tessary::search::terminal_text(std::string_view(snippet).substr(start, end - start));
    if (mark == std::string::npos) break;
    const bool open = snippet[mark] == tessary::search::kHitBegin;
    out += terminal ? (open ? "\x1b[1;31m" : "\x1b[0m") : (open ? "[" : "]");
    start = mark + 1;
  }
  return out;
}

void print_table(const tessary::search::Result& result, bool terminal) {
  for (const tessary::search::Row& row : result.rows) {
    const std::string modified = row.mtime.substr(0, 10) + " " + row.mtime.substr(11, 5);
    const std::string path = tessary::search::terminal_text(row.path);
    std::printf("%8s  %s  %s%s%s\n", human_size(row.size).c_str(), modified.c_str(), terminal ? "\x1b[1m" : "",
                path.c_str(), terminal ? "\x1b[0m" : "");
    if (!row.snippet.empty()) std::printf("%28s%s\n", "", table_snippet(row.snippet, terminal).c_str());
  }
  if (terminal && static_cast<std::int64_t>(result.rows.size()) < result.total) {
    std::printf("(%zu of %lld shown; --limit 0 for all)\n", result.rows.size(),
                static_cast<long long>(result.total));
  }
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "tessary-search: %s\n%s", tessary::search::terminal_text(message).c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"store", required_argument, nullptr, kStore},       {"path", required_argument, nullptr, kPath},
      {"name", required_argument, nullptr, kName},         {"min-size", required_argument, nullptr, kMinSize},
      {"max-size", required_argument, nullptr, kMaxSize},  {"after", required_argument, nullptr, kAfter},
      {"before", required_argument, nullptr, kBefore},     {"digest", required_argument, nullptr, kDigest},
      {"duplicates", no_argument, nullptr, kDuplicates},   {"limit", required_argument, nullptr, kLimit},
      {"offset", required_argument, nullptr, kOffset},     {"json", no_argument, nullptr, kJson},
      {"content", no_argument, nullptr, kContent},         {"help", no_argument, nullptr, kHelpOption},
      {"version", no_argument, nullptr, kVersion},         {nullptr, 0, nullptr, 0}};
  static const char* const kFieldOf[] = {"", "path", "name", "min-size", "max-size", "after", "before", "digest",
                                         "", "limit", "offset"};

  // Read the options into a request; a bad value is a usage error.
  tessary::search::Request request;
  std::string store_location = kDefaultStore;
  bool json = false;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    std::string error;
    switch (c) {
      case kStore: store_location = optarg; break;
      case kDuplicates: request.duplicates = true; break;
      case kJson: json = true; break;
      case kContent: request.content = true; break;
      case kHelpOption: std::fputs(kHelp, stdout); return 0;
      case kVersion: std::puts("tessary-search " TESSARY_VERSION); return 0;
      case '?':
        return usage_error(optopt != 0 ? std::string("option needs a value or is unknown: -") + static_cast<char>(optopt)
                                       : std::string("unknown option: ") + argv[optind - 1]);
      default:
        if (!tessary::search::set_field(&request, kFieldOf[c - kStore], optarg,
                                        std::string("--") + kFieldOf[c - kStore], &error)) {
          return usage_error(error);
        }
    }
  }
  // The remaining arguments, joined by blanks, are the query.
  std::string query;
  for (int i = optind; i < argc; ++i) query += (query.empty() ? "" : " ") + std::string(argv[i]);
  {
    std::string error;
    if (!tessary::search::set_field(&request, "query", query, "query", &error)) return usage_error(error);
  }
  if (request.content && !json) return usage_error("--content needs --json");

  // Open the store read-only.
  std::string error;
  std::unique_ptr<tessary::search::StoreReader> store = tessary::search::open_store(store_location, &error);
  if (!store) {
    std::fprintf(stderr, "tessary-search: %s: %s\n", tessary::search::terminal_text(store_location).c_str(),
                 tessary::search::terminal_text(error).c_str());
    return 2;
  }

  // Search, then print the page: JSON lines or the table.
  tessary::search::Result result;
  if (!tessary::search::run_search(*store, request, &result, &error)) {
    std::fprintf(stderr, "tessary-search: %s: %s\n", tessary::search::terminal_text(store_location).c_str(),
                 tessary::search::terminal_text(error).c_str());
    return 2;
  }
  if (json) {
    for (const tessary::search::Row& row : result.rows) {
      const std::string line = tessary::search::row_json(row, request.content) + "\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  } else {
    print_table(result, isatty(STDOUT_FILENO) == 1);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("tessary-search: standard output");
    return 2;
  }
  return result.total > 0 ? 0 : 1;
}
