// The PostgreSQL store, opened through libpq in read-only transactions.
#include <libpq-fe.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "search/match.h"
#include "search/store_reader.h"
#include "store/schema.h"

namespace tessary::search {

namespace {

// A parameter: text format with an explicit cast in the SQL, or binary for bytea.
struct Param {
  std::string value;
  bool binary = false;
};

struct ResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

std::string first_line(const char* message) {
  std::string text = message != nullptr ? message : "";
  const std::size_t nl = text.find('\n');
  if (nl != std::string::npos) text.resize(nl);
  return text.empty() ? "unknown PostgreSQL error" : text;
}

std::string value(const PGresult* r, int row, int col) {
  return std::string(PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col)));
}

std::int64_t int8_value(const PGresult* r, int row, int col) {
  const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, col));
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return static_cast<std::int64_t>(v);
}

constexpr const char* kColumns =
    "f.path, f.name, to_char(f.atime, 'YYYY-MM-DD\"T\"HH24:MI:SS'), to_char(f.mtime, 'YYYY-MM-DD\"T\"HH24:MI:SS'), "
    "to_char(f.ctime, 'YYYY-MM-DD\"T\"HH24:MI:SS'), f.size, f.md5, "
    "to_char(f.stamp, 'YYYY-MM-DD\"T\"HH24:MI:SS.US')";

void read_row(const PGresult* r, int i, Row* row) {
  row->path = value(r, i, 0);
  row->name = value(r, i, 1);
  row->atime = value(r, i, 2);
  row->mtime = value(r, i, 3);
  row->ctime = value(r, i, 4);
  row->size = int8_value(r, i, 5);
  if (PQgetisnull(r, i, 6)) {
    row->md5.reset();
  } else {
    row->md5 = value(r, i, 6);
  }
  row->stamp = value(r, i, 7);
}

// Adds a parameter and returns its placeholder.
std::string placeholder(std::vector<Param>* params, std::string v, bool binary, const char* cast) {
  params->push_back({std::move(v), binary});
  return "$" + std::to_string(params->size()) + "::" + cast;
}

// The column filters (and the full-text first cut when `with_terms`) as SQL over
// "tessary_files f", with their parameters.
std::string conditions(const Request& request, bool with_terms, std::vector<Param>* params) {
  std::string sql = " WHERE true";
  if (with_terms) {
    const std::string tsquery = tsquery_expression(request.query);
    if (!tsquery.empty()) {
      // Only the content's leading part is in the tsvector; a longer content is also a
      // candidate when its bytes hold every word.
      sql += " AND (f.tsv @@ " + placeholder(params, tsquery, false, "tsquery") +
             " OR (octet_length(f.content) > " + std::to_string(store::kTsvectorSourceMax);
      for (const Term& term : request.query.terms) {
        for (const std::string& word : term.words) {
          sql += " AND position(" + placeholder(params, word, true, "bytea") + " in f.content) > 0";
        }
      }
      sql += "))";
    }
  }
  if (request.path_prefix && !request.path_prefix->empty()) {
    sql += " AND f.path >= " + placeholder(params, *request.path_prefix, true, "bytea");
    const std::string upper = prefix_successor(*request.path_prefix);
    if (!upper.empty()) sql += " AND f.path < " + placeholder(params, upper, true, "bytea");
  }
  if (request.min_size) sql += " AND f.size >= " + placeholder(params, std::to_string(*request.min_size), false, "bigint");
  if (request.max_size) sql += " AND f.size <= " + placeholder(params, std::to_string(*request.max_size), false, "bigint");
  if (request.after) sql += " AND f.mtime >= " + placeholder(params, *request.after, false, "timestamp");
  if (request.before) sql += " AND f.mtime < " + placeholder(params, *request.before, false, "timestamp");
  if (request.digest) sql += " AND f.md5 = " + placeholder(params, *request.digest, false, "char(32)");
  if (request.duplicates) {
    sql += " AND f.md5 IN (SELECT md5 FROM tessary_files WHERE md5 IS NOT NULL GROUP BY md5 HAVING count(*) > 1)";
  }
  return sql;
}

class PgReader : public StoreReader {
 public:
  explicit PgReader(PGconn* conn) : conn_(conn) {}
  ~PgReader() override {
    end();
    PQfinish(conn_);
  }

  bool begin(std::string* error) override {
    if (!command("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error)) return false;
    in_transaction_ = true;
    return true;
  }

  void end() override {
    if (in_transaction_) {
      std::string ignored;
      command("COMMIT", &ignored);
      in_transaction_ = false;
    }
  }

  bool decides_queries() const override { return false; }

  bool scan(const Request& request, bool with_content, const RowSink& sink, std::string* error) override {
    std::vector<Param> params;
    const std::string sql = std::string("SELECT ") + kColumns + (with_content ? ", f.content" : "") +
                            " FROM tessary_files f" + conditions(request, !request.query.terms.empty(), &params);
    // Through a cursor, a batch of rows at a time, so a large answer is never held whole.
    if (!exec("DECLARE tessary_scan NO SCROLL CURSOR FOR " + sql, params, error)) return false;
    bool wanted = true;
    Row row;
    while (wanted) {
      Result r = exec("FETCH 500 FROM tessary_scan", {}, error);
      if (!r) return false;
      const int rows = PQntuples(r.get());
      if (rows == 0) break;
      for (int i = 0; i < rows && wanted; ++i) {
        read_row(r.get(), i, &row);
        std::string_view content;
        if (with_content) content = std::string_view(PQgetvalue(r.get(), i, 8), PQgetlength(r.get(), i, 8));
        wanted = sink(row, content);
      }
    }
    return static_cast<bool>(exec("CLOSE tessary_scan", {}, error));
  }

  bool page(const Request& request, std::vector<Row>* rows, std::int64_t* total, std::string* error) override {
    std::vector<Param> params;
    const std::string where = conditions(request, false, &params);
    Result count = exec("SELECT count(*) FROM tessary_files f" + where, params, error);
    if (!count) return false;
    *total = int8_value(count.get(), 0, 0);
    const char* order = request.duplicates ? " ORDER BY f.size DESC, f.md5::text COLLATE \"C\", f.mtime DESC, f.path"
                                           : " ORDER BY f.mtime DESC, f.path";
    std::string sql = std::string("SELECT ") + kColumns + ", substring(f.content from 1 for " +
                      std::to_string(kSnippetSource) + ") FROM tessary_files f" + where + order;
    if (request.limit > 0) sql += " LIMIT " + placeholder(&params, std::to_string(request.limit), false, "bigint");
    sql += " OFFSET " + placeholder(&params, std::to_string(request.offset), false, "bigint");
    Result r = exec(sql, params, error);
    if (!r) return false;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      Row row;
      read_row(r.get(), i, &row);
      row.content = value(r.get(), i, 8);
      rows->push_back(std::move(row));
    }
    return true;
  }

  bool content(const std::string& path, std::size_t max_bytes, std::string* out, std::string* error) override {
    std::vector<Param> params;
    const std::string sql =
        "SELECT substring(content from 1 for " +
        placeholder(&params, std::to_string(std::min<std::size_t>(max_bytes, INT32_MAX)), false, "integer") +
        ") FROM tessary_files WHERE path = " + placeholder(&params, path, true, "bytea");
    Result r = exec(sql, params, error);
    if (!r) return false;
    if (PQntuples(r.get()) != 1) {
      *error = "the record is gone";
      return false;
    }
    *out = value(r.get(), 0, 0);
    return true;
  }

  bool stats(Stats* out, std::string* error) override {
    Result count = exec("SELECT count(*) FROM tessary_files", {}, error);
    if (!count) return false;
    out->records = int8_value(count.get(), 0, 0);
    Result r = exec("SELECT name, value FROM tessary_stats WHERE name IN ('rejected', 'last_received')", {}, error);
    if (!r) return false;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      const std::string name = value(r.get(), i, 0);
      const std::string text = value(r.get(), i, 1);
      if (name == "rejected") {
        parse_count(text, &out->rejected);
      } else if (!text.empty()) {
        out->last_received = text;
      }
    }
    return true;
  }

 private:
  bool send(const std::string& sql, const std::vector<Param>& params, std::string* error) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.value.data());
      lengths.push_back(static_cast<int>(p.value.size()));
      formats.push_back(p.binary ? 1 : 0);
    }
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                          lengths.data(), formats.data(), /*resultFormat=*/1) != 1) {
      *error = first_line(PQerrorMessage(conn_));
      return false;
    }
    return true;
  }

  // Runs one statement and returns its whole result; null with `*error` on failure.
  Result exec(const std::string& sql, const std::vector<Param>& params, std::string* error) {
    if (!send(sql, params, error)) return nullptr;
    Result kept;
    std::string failure;
    for (;;) {
      Result r(PQgetResult(conn_));
      if (!r) break;
      const ExecStatusType status = PQresultStatus(r.get());
      if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        if (failure.empty()) failure = first_line(PQresultErrorMessage(r.get()));
        continue;
      }
      kept = std::move(r);
    }
    if (failure.empty() && !kept) failure = first_line(PQerrorMessage(conn_));
    if (!failure.empty()) {
      *error = failure;
      return nullptr;
    }
    return kept;
  }

  bool command(const char* sql, std::string* error) { return static_cast<bool>(exec(sql, {}, error)); }

  PGconn* conn_;
  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<StoreReader> open_pg_reader(const std::string& uri, std::string* error) {
  // Values in the URI win over these defaults (they come later in the expansion).
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {"10", "tessary-search", uri.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    *error = first_line(conn != nullptr ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return nullptr;
  }
  auto reader = std::make_unique<PgReader>(conn);
  PGresult* r = PQexec(conn,
                       "SET default_transaction_read_only = on; SET statement_timeout = '60s'; "
                       "SELECT to_regclass('tessary_files') IS NOT NULL AND to_regclass('tessary_stats') IS NOT NULL");
  const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 && std::strcmp(PQgetvalue(r, 0, 0), "t") == 0;
  if (!ok) *error = PQresultStatus(r) == PGRES_TUPLES_OK ? "not a tessary store" : first_line(PQresultErrorMessage(r));
  PQclear(r);
  if (!ok) return nullptr;
  return reader;
}

}  // namespace tessary::search
