#include "store/postgres_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "store/schema.h"
#include "store/tokens.h"

namespace tessary::store {
namespace {

// Type identifiers of the bound parameters (pg_type.oid; fixed in every PostgreSQL).
constexpr Oid kBytea = 17, kInt8 = 20, kText = 25, kTimestamp = 1114;

// Any number fixed for this schema: servers starting at once create it one after another.
constexpr long long kSchemaLockKey = 0x7465737361727931LL;

// Records per INSERT statement (10 parameters each; a statement takes at most 65535).
constexpr std::size_t kRowsPerStatement = 500;

constexpr const char* kUpsert =
    "INSERT INTO tessary_files(path, name, atime, mtime, ctime, size, md5, stamp, content, tsv) "
    "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10::tsvector) "
    "ON CONFLICT (path) DO UPDATE SET name = excluded.name, atime = excluded.atime, "
    "mtime = excluded.mtime, ctime = excluded.ctime, size = excluded.size, md5 = excluded.md5, "
    "stamp = excluded.stamp, content = excluded.content, tsv = excluded.tsv "
    "WHERE excluded.stamp > tessary_files.stamp";

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;
struct ConnectionDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

std::string one_line(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::string sqlstate(const PGresult* r) {
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

// Where the URI's password would be, the message shows no part of the URI at all.
std::string redacted(const std::string& uri) {
  const std::size_t scheme = uri.find("://");
  const std::size_t at = uri.find('@');
  const std::size_t slash = uri.find('/', scheme + 3);
  if (at != std::string::npos && at > scheme && (slash == std::string::npos || at < slash))
    return uri.substr(0, scheme + 3) + "..." + uri.substr(at);
  return uri;
}

class PostgresStore : public Store {
 public:
  PostgresStore(std::string name, Connection conn) : name_(std::move(name)), conn_(std::move(conn)) {}

  bool prepare(std::string* error) {
    const Oid types[] = {kBytea, kBytea, kTimestamp, kTimestamp, kTimestamp, kInt8, kText, kTimestamp, kBytea, kText};
    Result r(PQprepare(conn_.get(), "upsert", kUpsert, 10, types));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) return fail(error);
    Result a(PQprepare(conn_.get(), "add_rejected",
                       "UPDATE tessary_stats SET value = (value::bigint + $1)::text WHERE name = 'rejected'", 1,
                       std::array<Oid, 1>{kInt8}.data()));
    if (PQresultStatus(a.get()) != PGRES_COMMAND_OK) return fail(error);
    Result l(PQprepare(conn_.get(), "set_last_received",
                       "INSERT INTO tessary_stats(name, value) VALUES('last_received', $1) "
                       "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                       1, std::array<Oid, 1>{kText}.data()));
    if (PQresultStatus(l.get()) != PGRES_COMMAND_OK) return fail(error);
    return true;
  }

  bool apply(const std::vector<const IndexRecord*>& records, std::uint64_t rejected, const std::string& received_at,
             std::string* error) override {
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
      PQreset(conn_.get());
      if (PQstatus(conn_.get()) != CONNECTION_OK || !prepare(error)) return fail(error);
    }
    // Rows are written in path order, so two servers writing overlapping batches take their row
    // locks in one order and cannot deadlock each other.
    std::vector<const IndexRecord*> sorted = records;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const IndexRecord* a, const IndexRecord* b) { return a->path < b->path; });
    // One statement may touch a row once: of the records of one path only the one that would
    // win one after another stays (the first with the newest stamp).
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      if (kept > 0 && sorted[kept - 1]->path == sorted[i]->path) {
        if (stamp_before(sorted[kept - 1]->stamp, sorted[i]->stamp)) sorted[kept - 1] = sorted[i];
      } else {
        sorted[kept++] = sorted[i];
      }
    }
    sorted.resize(kept);
    // A deadlock or serialisation failure with another writer is retried; a record whose text
    // search vector PostgreSQL refuses (too long, not convertible) gets the batch written again
    // record by record, that record with a shorter vector.
    for (int attempt = 0; attempt < 5; ++attempt) {
      std::string state;
      if (write(sorted, rejected, received_at, /*one_by_one=*/false, error, &state)) return true;
      if (state == "40P01" || state == "40001") continue;
      if (state.rfind("22", 0) == 0 || state.rfind("54", 0) == 0) {
        if (write(sorted, rejected, received_at, /*one_by_one=*/true, error, &state)) return true;
        if (state == "40P01" || state == "40001") continue;
      }
      return false;
    }
    return false;
  }

  bool read_rows(std::vector<IndexRecord>* rows, std::string* error) override {
    Result r(PQexecParams(conn_.get(),
                          "SELECT path, name, to_char(atime, 'YYYY-MM-DD HH24:MI:SS'), "
                          "to_char(mtime, 'YYYY-MM-DD HH24:MI:SS'), to_char(ctime, 'YYYY-MM-DD HH24:MI:SS'), "
                          "size, md5, to_char(stamp, 'YYYY-MM-DD HH24:MI:SS.US'), content "
                          "FROM tessary_files ORDER BY path",
                          0, nullptr, nullptr, nullptr, nullptr, /*resultFormat=*/1));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return fail(error);
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      auto field = [&](int c) { return std::string(PQgetvalue(r.get(), i, c), PQgetlength(r.get(), i, c)); };
      IndexRecord row;
      row.path = field(0);
      row.name = field(1);
      const std::string stamp = field(7);
      if (!parse_civil_time_iso(field(2), &row.atime) || !parse_civil_time_iso(field(3), &row.mtime) ||
          !parse_civil_time_iso(field(4), &row.ctime) || stamp.size() != 26 ||
          !parse_civil_time_iso(stamp.substr(0, 19), &row.stamp.time)) {
        *error = name_ + ": a row holds a time of the wrong form";
        return false;
      }
      row.stamp.micros = std::stoi(stamp.substr(20));
      std::uint64_t size = 0;
      const std::string size_bytes = field(5);
      for (unsigned char b : size_bytes) size = (size << 8) | b;
      row.size = static_cast<std::int64_t>(size);
      if (!PQgetisnull(r.get(), i, 6)) row.md5 = field(6);
      row.content = field(8);
      rows->push_back(std::move(row));
    }
    return true;
  }

  bool read_stat(const std::string& name, std::string* value, std::string* error) override {
    const char* values[] = {name.c_str()};
    Result r(PQexecParams(conn_.get(), "SELECT value FROM tessary_stats WHERE name = $1", 1, nullptr, values, nullptr,
                          nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return fail(error);
    value->clear();
    if (PQntuples(r.get()) > 0) *value = PQgetvalue(r.get(), 0, 0);
    return true;
  }

  std::vector<std::string> files() const override { return {}; }

 private:
  bool fail(std::string* error) {
    *error = name_ + ": " + one_line(PQerrorMessage(conn_.get()));
    return false;
  }

  bool command(const char* sql, std::string* error, std::string* state) {
    Result r(PQexec(conn_.get(), sql));
    if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return true;
    *state = sqlstate(r.get());
    return fail(error);
  }

  // One upsert; `tsv_max` bounds the text search vector's source. The tsvector holds the tokens
  // of store/tokens.h (the search's and SQLite's words), never PostgreSQL's own parser's.
  bool upsert(const IndexRecord& rec, std::size_t tsv_max, std::string* error, std::string* state) {
    const std::string atime = format_civil_time(rec.atime), mtime = format_civil_time(rec.mtime),
                      ctime = format_civil_time(rec.ctime), size = std::to_string(rec.size),
                      stamp = format_stamp_iso(rec.stamp), tsv = tsvector_literal(rec.content, tsv_max);
    const char* values[] = {rec.path.data(), rec.name.data(), atime.c_str(), mtime.c_str(), ctime.c_str(),
                            size.c_str(), rec.md5 ? rec.md5->c_str() : nullptr, stamp.c_str(),
                            rec.content.data(), tsv.c_str()};
    const int lengths[] = {static_cast<int>(rec.path.size()), static_cast<int>(rec.name.size()), 0, 0, 0, 0, 0, 0,
                           static_cast<int>(rec.content.size()), 0};
    // The byte fields go in binary form: bytea as they are, whatever bytes they hold.
    const int formats[] = {1, 1, 0, 0, 0, 0, 0, 0, 1, 0};
    Result r(PQexecPrepared(conn_.get(), "upsert", 10, values, lengths, formats, 0));
    if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return true;
    *state = sqlstate(r.get());
    return fail(error);
  }

  // Rows [begin, end) of `records` (sorted by path, one record per path) in one statement.
  bool upsert_many(const std::vector<const IndexRecord*>& records, std::size_t begin, std::size_t end,
                   std::string* error, std::string* state) {
    std::vector<std::string> texts;
    texts.reserve((end - begin) * 6);  // never reallocated: `values` points into it
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    std::vector<Oid> types;
    std::string sql =
        "INSERT INTO tessary_files(path, name, atime, mtime, ctime, size, md5, stamp, content, tsv) VALUES ";
    for (std::size_t i = begin; i < end; ++i) {
      const IndexRecord& rec = *records[i];
      const std::size_t first = texts.size();
      texts.push_back(format_civil_time(rec.atime));
      texts.push_back(format_civil_time(rec.mtime));
      texts.push_back(format_civil_time(rec.ctime));
      texts.push_back(std::to_string(rec.size));
      texts.push_back(format_stamp_iso(rec.stamp));
      texts.push_back(tsvector_literal(rec.content, kTsvectorSourceMax));
      const char* row_values[] = {rec.path.data(), rec.name.data(), texts[first].c_str(), texts[first + 1].c_str(),
                                  texts[first + 2].c_str(), texts[first + 3].c_str(),
                                  rec.md5 ? rec.md5->c_str() : nullptr, texts[first + 4].c_str(),
                                  rec.content.data(), texts[first + 5].c_str()};
      const int row_lengths[] = {static_cast<int>(rec.path.size()), static_cast<int>(rec.name.size()), 0, 0, 0, 0,
                                 0, 0, static_cast<int>(rec.content.size()), 0};
      const int row_formats[] = {1, 1, 0, 0, 0, 0, 0, 0, 1, 0};
      const Oid row_types[] = {kBytea, kBytea, kTimestamp, kTimestamp, kTimestamp, kInt8, kText, kTimestamp, kBytea, kText};
      const std::size_t n = values.size();
      sql += i == begin ? "(" : ", (";
      for (int k = 1; k <= 10; ++k) {
        const std::string param = "$" + std::to_string(n + static_cast<std::size_t>(k));
        sql += k == 10 ? param + "::tsvector)" : param + ", ";
      }
      values.insert(values.end(), row_values, row_values + 10);
      lengths.insert(lengths.end(), row_lengths, row_lengths + 10);
      formats.insert(formats.end(), row_formats, row_formats + 10);
      types.insert(types.end(), row_types, row_types + 10);
    }
    sql += std::string(kUpsert).substr(std::string(kUpsert).find(" ON CONFLICT"));
    Result r(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()), types.data(), values.data(),
                          lengths.data(), formats.data(), 0));
    if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) return true;
    *state = sqlstate(r.get());
    return fail(error);
  }

  bool write(const std::vector<const IndexRecord*>& records, std::uint64_t rejected, const std::string& received_at,
             bool one_by_one, std::string* error, std::string* state) {
    state->clear();
    std::string ignored, ignored_state;
    if (!command("BEGIN", error, state)) return false;
    bool ok = true;
    if (!one_by_one) {
      // Many rows per statement: one round trip carries up to kRowsPerStatement records.
      for (std::size_t at = 0; ok && at < records.size(); at += kRowsPerStatement)
        ok = upsert_many(records, at, std::min(records.size(), at + kRowsPerStatement), error, state);
    } else {
      // Each record in a savepoint of its own; the vector's source is halved until it is taken.
      for (std::size_t i = 0; ok && i < records.size(); ++i) {
        for (std::size_t max = kTsvectorSourceMax;; max /= 2) {
          if (!(ok = command("SAVEPOINT one", error, state))) break;
          if (upsert(*records[i], max, error, state)) {
            ok = command("RELEASE SAVEPOINT one", error, state);
            break;
          }
          const bool data_error = state->rfind("22", 0) == 0 || state->rfind("54", 0) == 0;
          if (!data_error || max == 0 || !command("ROLLBACK TO SAVEPOINT one", &ignored, &ignored_state)) {
            ok = false;
            break;
          }
        }
      }
    }
    if (ok && rejected > 0) {
      const std::string count = std::to_string(rejected);
      const char* values[] = {count.c_str()};
      Result r(PQexecPrepared(conn_.get(), "add_rejected", 1, values, nullptr, nullptr, 0));
      if (!(ok = PQresultStatus(r.get()) == PGRES_COMMAND_OK)) {
        *state = sqlstate(r.get());
        fail(error);
      }
    }
    if (ok && !records.empty()) {
      const char* values[] = {received_at.c_str()};
      Result r(PQexecPrepared(conn_.get(), "set_last_received", 1, values, nullptr, nullptr, 0));
      if (!(ok = PQresultStatus(r.get()) == PGRES_COMMAND_OK)) {
        *state = sqlstate(r.get());
        fail(error);
      }
    }
    if (ok && command("COMMIT", error, state)) return true;
    command("ROLLBACK", &ignored, &ignored_state);
    return false;
  }

  std::string name_;
  Connection conn_;
};

// Length of the valid UTF-8 sequence at `s` (at most `n` bytes available), 0 when invalid.
std::size_t utf8_sequence(const unsigned char* s, std::size_t n) {
  const unsigned char c = s[0];
  if (c >= 0x01 && c < 0x80) return 1;
  std::size_t len;
  unsigned min_second = 0x80, max_second = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) len = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) min_second = 0xA0;       // no overlong forms
    else if (c == 0xED) max_second = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) min_second = 0x90;
    else if (c == 0xF4) max_second = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n < len || s[1] < min_second || s[1] > max_second) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return len;
}

}  // namespace

std::string tsvector_source(const std::string& content, std::size_t max_bytes) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  const std::size_t end = std::min(content.size(), max_bytes);
  std::string out;
  out.reserve(end);
  std::size_t i = 0;
  while (i < end) {
    const std::size_t len = utf8_sequence(bytes + i, end - i);
    if (len == 0) {
      // A sequence cut by the limit ends the source; anything else invalid becomes U+FFFD.
      if (end < content.size() && utf8_sequence(bytes + i, content.size() - i) > 0) break;
      out.append("\xEF\xBF\xBD");
      ++i;
    } else {
      out.append(content, i, len);
      i += len;
    }
  }
  return out;
}

std::unique_ptr<Store> open_postgres_store(const std::string& uri, std::string* error) {
  const std::string name = redacted(uri);
  Connection conn(PQconnectdb(uri.c_str()));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    *error = name + ": " + (conn ? one_line(PQerrorMessage(conn.get())) : std::string("out of memory"));
    return nullptr;
  }
  PQsetClientEncoding(conn.get(), "UTF8");
  auto run = [&](const std::string& sql) {
    Result r(PQexec(conn.get(), sql.c_str()));
    const ExecStatusType status = PQresultStatus(r.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
    *error = name + ": " + one_line(PQerrorMessage(conn.get()));
    return false;
  };
  // The schema is made under a transaction-level advisory lock: servers starting at once wait
  // for each other instead of failing on "already exists" races of CREATE ... IF NOT EXISTS.
  const std::string setup =
      "SET client_min_messages TO warning; BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + "); " + kPostgresSchema +
      "INSERT INTO tessary_stats(name, value) VALUES('rejected', '0'), ('schema_version', '" +
      std::to_string(kPostgresSchemaVersion) + "') ON CONFLICT (name) DO NOTHING;";
  if (!run(setup)) {
    run("ROLLBACK");
    return nullptr;
  }
  Result version(PQexec(conn.get(), "SELECT value FROM tessary_stats WHERE name = 'schema_version'"));
  if (PQresultStatus(version.get()) != PGRES_TUPLES_OK || PQntuples(version.get()) != 1) {
    *error = name + ": cannot read the schema version";
    return nullptr;
  }
  if (std::atoi(PQgetvalue(version.get(), 0, 0)) > kPostgresSchemaVersion) {
    *error = name + ": made by a newer version of tessary (schema " + PQgetvalue(version.get(), 0, 0) + ")";
    return nullptr;
  }
  if (!run("COMMIT")) return nullptr;
  auto store = std::make_unique<PostgresStore>(name, std::move(conn));
  if (!store->prepare(error)) return nullptr;
  return store;
}

}  // namespace tessary::store
