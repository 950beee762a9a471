// The embedded store (SQLite with FTS5), opened read-only.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "search/match.h"
#include "search/store_reader.h"

namespace tessary::search {

namespace {

// A value to bind, in order.
struct Param {
  enum Kind { kText, kInt } kind;
  std::string text;
  std::int64_t number = 0;
};

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, std::string* error) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db);
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  void bind(const std::vector<Param>& params) {
    int i = 1;
    for (const Param& p : params) {
      if (p.kind == Param::kText) {
        sqlite3_bind_text(stmt_, i++, p.text.data(), static_cast<int>(p.text.size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int64(stmt_, i++, p.number);
      }
    }
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string column_bytes(sqlite3_stmt* stmt, int col) {
  const void* data = sqlite3_column_blob(stmt, col);
  const int n = sqlite3_column_bytes(stmt, col);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<std::size_t>(n));
}

// "YYYY-MM-DD HH:MM:SS[.ffffff]" as stored, written with a 'T'.
std::string iso_time(sqlite3_stmt* stmt, int col) {
  std::string text = column_bytes(stmt, col);
  if (text.size() > 10 && text[10] == ' ') text[10] = 'T';
  return text;
}

constexpr const char* kColumns = "f.path, f.name, f.atime, f.mtime, f.ctime, f.size, f.md5, f.stamp";

void read_row(sqlite3_stmt* stmt, Row* row) {
  row->path = column_bytes(stmt, 0);
  row->name = column_bytes(stmt, 1);
  row->atime = iso_time(stmt, 2);
  row->mtime = iso_time(stmt, 3);
  row->ctime = iso_time(stmt, 4);
  row->size = sqlite3_column_int64(stmt, 5);
  if (sqlite3_column_type(stmt, 6) == SQLITE_NULL) {
    row->md5.reset();
  } else {
    row->md5 = column_bytes(stmt, 6);
  }
  row->stamp = iso_time(stmt, 7);
}

// The column filters of a request as SQL over "files f", with their parameters, after `first`.
std::string conditions(const Request& request, std::vector<Param>* params, const char* first = "1") {
  std::string sql = std::string(" WHERE ") + first;
  if (request.path_prefix && !request.path_prefix->empty()) {
    sql += " AND f.path >= ?";
    params->push_back({Param::kText, *request.path_prefix});
    const std::string upper = prefix_successor(*request.path_prefix);
    if (!upper.empty()) {
      sql += " AND f.path < ?";
      params->push_back({Param::kText, upper});
    }
  }
  if (request.min_size) {
    sql += " AND f.size >= ?";
    params->push_back({Param::kInt, {}, *request.min_size});
  }
  if (request.max_size) {
    sql += " AND f.size <= ?";
    params->push_back({Param::kInt, {}, *request.max_size});
  }
  if (request.after) {
    sql += " AND f.mtime >= ?";
    params->push_back({Param::kText, *request.after});
  }
  if (request.before) {
    sql += " AND f.mtime < ?";
    params->push_back({Param::kText, *request.before});
  }
  if (request.digest) {
    sql += " AND f.md5 = ?";
    params->push_back({Param::kText, *request.digest});
  }
  if (request.duplicates) {
    sql += " AND f.md5 IN (SELECT md5 FROM files WHERE md5 IS NOT NULL GROUP BY md5 HAVING count(*) > 1)";
  }
  return sql;
}

// The token count of each indexed content, as FTS5 keeps it in its docsize table (one varint a
// column, big-endian groups of seven bits; the table has one column). Lookups must come in
// ascending rowid order, as a MATCH gives them: a near row is reached by stepping forward over
// the table, a far one by a new seek, so a dense run of matches costs a sequential read instead
// of one b-tree search each.
class TokenCounts {
 public:
  TokenCounts(sqlite3* db, std::string* error)
      : db_(db), stmt_(db, "SELECT id, sz FROM files_fts_docsize WHERE id >= ? ORDER BY id", error) {}

  /// False when the statement could not be made (`*error` of the constructor says why).
  bool ok() const { return stmt_.get() != nullptr; }

  /// Sets `*tokens` for row `id`; false with `*error` when the table has no such row.
  bool find(std::int64_t id, std::size_t* tokens, std::string* error) {
    if (!positioned_ || id < current_ || id - current_ > kStepMax) {
      sqlite3_reset(stmt_.get());
      sqlite3_bind_int64(stmt_.get(), 1, id);
      positioned_ = advance();
    }
    while (positioned_ && current_ < id) positioned_ = advance();
    if (!positioned_ || current_ != id || !decode(tokens)) {
      *error = positioned_ || done_ ? "the full-text index has no size for a row" : sqlite3_errmsg(db_);
      return false;
    }
    return true;
  }

 private:
  static constexpr std::int64_t kStepMax = 32;

  bool advance() {
    const int rc = sqlite3_step(stmt_.get());
    done_ = rc == SQLITE_DONE;
    if (rc != SQLITE_ROW) return false;
    current_ = sqlite3_column_int64(stmt_.get(), 0);
    return true;
  }

  bool decode(std::size_t* tokens) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt_.get(), 1));
    const int n = sqlite3_column_bytes(stmt_.get(), 1);
    std::size_t value = 0;
    for (int i = 0; i < n && i < 5; ++i) {
      value = (value << 7) | (p[i] & 0x7F);
      if ((p[i] & 0x80) == 0) {
        *tokens = value;
        return true;
      }
    }
    return false;
  }

  sqlite3* db_;
  Statement stmt_;
  bool positioned_ = false;
  bool done_ = false;
  std::int64_t current_ = 0;
};

class SqliteReader : public StoreReader {
 public:
  explicit SqliteReader(sqlite3* db) : db_(db) {}
  ~SqliteReader() override {
    end();
    sqlite3_close_v2(db_);
  }

  bool begin(std::string* error) override {
    if (!exec("BEGIN", error)) return false;
    in_transaction_ = true;
    return true;
  }

  void end() override {
    if (in_transaction_) {
      std::string ignored;
      exec("COMMIT", &ignored);
      in_transaction_ = false;
    }
  }

  bool decides_queries() const override { return true; }

  bool scan(const Request& request, bool with_content, const RowSink& sink, std::string* error) override {
    std::vector<Param> params;
    std::string sql = std::string("SELECT ") + kColumns + (with_content ? ", f.content" : ", NULL");
    const std::string expression = fts5_expression(request.query);
    if (!expression.empty()) {
      sql += ", tessary_score(files_fts) FROM files_fts JOIN files f ON f.id = files_fts.rowid";
      params.push_back({Param::kText, expression});
      sql += conditions(request, &params, "files_fts MATCH ?");
    } else {
      sql += " FROM files f" + conditions(request, &params);
    }
    Statement stmt(db_, sql, error);
    if (stmt.get() == nullptr) return false;
    stmt.bind(params);
    Row row;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      read_row(stmt.get(), &row);
      if (!expression.empty()) row.score = sqlite3_column_double(stmt.get(), 9);
      std::string_view content;
      if (with_content) {
        const void* data = sqlite3_column_blob(stmt.get(), 8);
        const int n = sqlite3_column_bytes(stmt.get(), 8);
        if (data != nullptr) content = std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(n));
      }
      if (!sink(row, content)) return true;
    }
    if (rc != SQLITE_DONE) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    return true;
  }

  bool ranked_head(const Request& request, std::size_t count, std::vector<Row>* rows, std::int64_t* total,
                   std::string* error) override {
    const std::string expression = fts5_expression(request.query);
    if (expression.empty() || count == 0 || request.path_prefix || request.min_size || request.max_size ||
        request.after || request.before || request.digest || request.duplicates || request.name_glob) {
      return false;
    }
    // The matches with each phrase's number of instances, from the full-text index alone: neither
    // the files table nor the sizes are read per match here ...
    std::vector<std::int64_t> ids;
    std::vector<std::uint32_t> counts;  // phrases per match, match after match
    std::size_t phrases = 0;
    {
      Statement stmt(db_, "SELECT rowid, tessary_counts(files_fts) FROM files_fts WHERE files_fts MATCH ?", error);
      if (stmt.get() == nullptr) return false;
      stmt.bind({{Param::kText, expression}});
      int rc;
      while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const auto* blob = static_cast<const std::uint32_t*>(sqlite3_column_blob(stmt.get(), 1));
        const std::size_t n = static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), 1)) / sizeof(std::uint32_t);
        if (ids.empty()) phrases = n;
        if (n != phrases || (n > 0 && blob == nullptr)) {
          *error = "the full-text index gave an unexpected phrase count";
          return false;
        }
        ids.push_back(sqlite3_column_int64(stmt.get(), 0));
        counts.insert(counts.end(), blob, blob + n);
      }
      if (rc != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return false;
      }
    }
    *total = static_cast<std::int64_t>(ids.size());
    // ... then the token counts, read in rowid order beside the matches, give the scores ...
    std::vector<std::pair<double, std::int64_t>> scored;
    scored.reserve(ids.size());
    {
      TokenCounts sizes(db_, error);
      if (!sizes.ok()) return false;
      std::vector<std::size_t> phrase_counts(phrases);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        std::size_t tokens = 0;
        if (!sizes.find(ids[i], &tokens, error)) return false;
        phrase_counts.assign(counts.begin() + static_cast<std::ptrdiff_t>(i * phrases),
                             counts.begin() + static_cast<std::ptrdiff_t>((i + 1) * phrases));
        scored.emplace_back(score_from_counts(phrase_counts, tokens), ids[i]);
      }
    }
    // ... and the rows are read for the best `count` scores and every record tied with the last.
    if (scored.size() > count) {
      std::nth_element(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(count - 1), scored.end(),
                       [](const auto& a, const auto& b) { return a.first > b.first; });
      const double threshold = scored[count - 1].first;
      scored.erase(std::remove_if(scored.begin(), scored.end(), [&](const auto& e) { return e.first < threshold; }),
                   scored.end());
    }
    Statement stmt(db_, std::string("SELECT ") + kColumns + " FROM files f WHERE f.id = ?", error);
    if (stmt.get() == nullptr) return false;
    for (const auto& [score, id] : scored) {
      sqlite3_reset(stmt.get());
      sqlite3_bind_int64(stmt.get(), 1, id);
      if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        *error = "the full-text index names a row that is gone";
        return false;
      }
      Row row;
      read_row(stmt.get(), &row);
      row.score = score;
      rows->push_back(std::move(row));
    }
    return true;
  }

  bool page(const Request& request, std::vector<Row>* rows, std::int64_t* total, std::string* error) override {
    std::vector<Param> params;
    const std::string where = conditions(request, &params);
    {
      Statement count(db_, "SELECT count(*) FROM files f" + where, error);
      if (count.get() == nullptr) return false;
      count.bind(params);
      if (sqlite3_step(count.get()) != SQLITE_ROW) {
        *error = sqlite3_errmsg(db_);
        return false;
      }
      *total = sqlite3_column_int64(count.get(), 0);
    }
    const char* order = request.duplicates ? " ORDER BY f.size DESC, f.md5, f.mtime DESC, f.path"
                                           : " ORDER BY f.mtime DESC, f.path";
    Statement stmt(db_,
                   std::string("SELECT ") + kColumns + ", substr(CAST(f.content AS BLOB), 1, " +
                       std::to_string(kSnippetSource) + ") FROM files f" + where + order + " LIMIT ? OFFSET ?",
                   error);
    if (stmt.get() == nullptr) return false;
    params.push_back({Param::kInt, {}, request.limit == 0 ? -1 : request.limit});
    params.push_back({Param::kInt, {}, request.offset});
    stmt.bind(params);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      Row row;
      read_row(stmt.get(), &row);
      row.content = column_bytes(stmt.get(), 8);
      rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    return true;
  }

  bool content(const std::string& path, std::size_t max_bytes, std::string* out, std::string* error) override {
    Statement stmt(db_, "SELECT substr(CAST(content AS BLOB), 1, ?) FROM files WHERE path = ?", error);
    if (stmt.get() == nullptr) return false;
    stmt.bind({{Param::kInt, {}, static_cast<std::int64_t>(std::min<std::size_t>(max_bytes, INT32_MAX))},
               {Param::kText, path}});
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) {
      *error = rc == SQLITE_DONE ? "the record is gone" : sqlite3_errmsg(db_);
      return false;
    }
    *out = column_bytes(stmt.get(), 0);
    return true;
  }

  bool stats(Stats* out, std::string* error) override {
    {
      Statement count(db_, "SELECT count(*) FROM files", error);
      if (count.get() == nullptr) return false;
      if (sqlite3_step(count.get()) != SQLITE_ROW) {
        *error = sqlite3_errmsg(db_);
        return false;
      }
      out->records = sqlite3_column_int64(count.get(), 0);
    }
    Statement stmt(db_, "SELECT name, value FROM stats WHERE name IN ('rejected', 'last_received')", error);
    if (stmt.get() == nullptr) return false;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
      const std::string name = column_bytes(stmt.get(), 0);
      const std::string value = column_bytes(stmt.get(), 1);
      if (name == "rejected") {
        parse_count(value, &out->rejected);
      } else if (!value.empty()) {
        out->last_received = value;
      }
    }
    return true;
  }

 private:
  bool exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      *error = message != nullptr ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      return false;
    }
    return true;
  }

  sqlite3* db_;
  bool in_transaction_ = false;
};

// The FTS5 auxiliary function tessary_score(files_fts): score_from_counts over the number of
// instances of each phrase of the MATCH expression and the content's token count.
void score_function(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* context, int, sqlite3_value**) {
  std::vector<std::size_t> counts(static_cast<std::size_t>(std::max(0, api->xPhraseCount(fts))), 0);
  int instances = 0;
  int tokens = 0;
  if (api->xInstCount(fts, &instances) != SQLITE_OK || api->xColumnSize(fts, 0, &tokens) != SQLITE_OK) {
    sqlite3_result_error(context, "cannot read the full-text index", -1);
    return;
  }
  for (int i = 0; i < instances; ++i) {
    int phrase = 0, column = 0, offset = 0;
    if (api->xInst(fts, i, &phrase, &column, &offset) == SQLITE_OK && phrase >= 0 &&
        static_cast<std::size_t>(phrase) < counts.size()) {
      ++counts[static_cast<std::size_t>(phrase)];
    }
  }
  sqlite3_result_double(context, score_from_counts(counts, static_cast<std::size_t>(std::max(0, tokens))));
}

// The FTS5 auxiliary function tessary_counts(files_fts): the number of instances of each phrase
// of the MATCH expression, as a blob of one native uint32 a phrase.
void counts_function(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* context, int, sqlite3_value**) {
  const int phrases = std::max(0, api->xPhraseCount(fts));
  // Called once a match: the common short queries count on the stack.
  std::uint32_t small[16] = {};
  std::vector<std::uint32_t> large(phrases > 16 ? static_cast<std::size_t>(phrases) : 0, 0);
  std::uint32_t* counts = phrases > 16 ? large.data() : small;
  int instances = 0;
  if (api->xInstCount(fts, &instances) != SQLITE_OK) {
    sqlite3_result_error(context, "cannot read the full-text index", -1);
    return;
  }
  if (phrases == 1) {
    counts[0] = static_cast<std::uint32_t>(instances);
  } else {
    for (int i = 0; i < instances; ++i) {
      int phrase = 0, column = 0, offset = 0;
      if (api->xInst(fts, i, &phrase, &column, &offset) == SQLITE_OK && phrase >= 0 && phrase < phrases) {
        ++counts[phrase];
      }
    }
  }
  sqlite3_result_blob(context, counts, static_cast<int>(static_cast<std::size_t>(phrases) * sizeof(std::uint32_t)),
                      SQLITE_TRANSIENT);
}

bool register_score(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &stmt, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_pointer(stmt, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return api != nullptr &&
         api->xCreateFunction(api, "tessary_score", nullptr, score_function, nullptr) == SQLITE_OK &&
         api->xCreateFunction(api, "tessary_counts", nullptr, counts_function, nullptr) == SQLITE_OK;
}

}  // namespace

std::unique_ptr<StoreReader> open_sqlite_reader(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 10000);
  // Reading pages through a mapping saves a copy of every page a large answer touches.
  sqlite3_exec(db, "PRAGMA mmap_size = 1073741824", nullptr, nullptr, nullptr);
  if (!register_score(db)) {
    *error = "this SQLite has no FTS5";
    sqlite3_close_v2(db);
    return nullptr;
  }
  // A file that is not a tessary store is refused before any search runs on it.
  sqlite3_stmt* stmt = nullptr;
  int tables = -1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE name IN ('files', 'files_fts', 'stats')", -1,
                         &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    tables = sqlite3_column_int(stmt, 0);
  }
  const std::string reason = tables < 0 ? sqlite3_errmsg(db) : "not a tessary store";
  sqlite3_finalize(stmt);
  if (tables != 3) {
    *error = reason;
    sqlite3_close_v2(db);
    return nullptr;
  }
  return std::make_unique<SqliteReader>(db);
}

}  // namespace tessary::search
