// Read-only access to an index store (an SQLite file or a PostgreSQL database) for searching.
//
// A reader applies the filters that the store can answer from its columns and indexes (path
// prefix, size, modification time, digest, duplicates, and for a query its full-text index as a
// first cut); everything else (the query's final decision, the name glob, scoring, snippets,
// order of ranked results) is done by search.h from the rows, the same code for both stores.
// Every statement binds its values as parameters; no stored or typed text is ever part of SQL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/request.h"

namespace tessary::search {

/// One stored record as the search returns it.
struct Row {
  std::string path;                ///< bytes as stored
  std::string name;                ///< bytes as stored
  std::string atime, mtime, ctime;  ///< "YYYY-MM-DDTHH:MM:SS"
  std::int64_t size = 0;
  std::optional<std::string> md5;  ///< 32 lowercase hex digits; none for "not computed"
  std::string stamp;               ///< "YYYY-MM-DDTHH:MM:SS.ffffff"
  std::string snippet;             ///< see match.h
  std::string content;             ///< whole content, only when asked for
  double score = 0;                ///< relevance of a ranked result
};

/// What the stats table says about the store.
struct Stats {
  std::int64_t records = 0;                  ///< rows stored
  std::int64_t rejected = 0;                 ///< records that could not be parsed
  std::optional<std::string> last_received;  ///< "YYYY-MM-DDTHH:MM:SS", none before the first
};

/// Receives one candidate row (and its content when asked for); returns false to stop.
using RowSink = std::function<bool(Row& row, std::string_view content)>;

/// An open store. Not thread-safe: one reader per thread.
class StoreReader {
 public:
  virtual ~StoreReader() = default;
  /// Starts a read-only snapshot that the calls up to end() see.
  virtual bool begin(std::string* error) = 0;
  /// Ends the snapshot.
  virtual void end() = 0;
  /// True when scan() decides a query exactly and fills in each row's score from the store's
  /// full-text index (see match.h score_from_counts); false when it gives a superset of the
  /// matching records, with their content, for search.h to decide and score.
  virtual bool decides_queries() const = 0;
  /// Calls `sink` for every record that passes the request's column filters and, when the query
  /// has terms, the full-text index (see decides_queries; with `with_content`, the whole content
  /// is passed). False with `*error` on a store error.
  virtual bool scan(const Request& request, bool with_content, const RowSink& sink, std::string* error) = 0;
  /// A shortcut for a query with terms and no other filter: the number of matching records in
  /// `*total`, and in `*rows` (with their scores) at least the first `count` of them in ranked
  /// order, namely every record whose score reaches the `count`-th best score. False with an
  /// empty `*error` when the store has no such shortcut (then scan() is used), false with
  /// `*error` set on a store error.
  virtual bool ranked_head(const Request& request, std::size_t count, std::vector<Row>* rows, std::int64_t* total,
                           std::string* error) {
    return false;
  }
  /// For a request without terms and without a name glob: the page of rows in the listing order
  /// (duplicates: size descending, digest, mtime descending, path; otherwise mtime descending,
  /// path) with each row's first kSnippetSource content bytes in `content`, and the number of
  /// rows in the whole listing in `*total`.
  virtual bool page(const Request& request, std::vector<Row>* rows, std::int64_t* total, std::string* error) = 0;
  /// The content of the record at `path`, at most `max_bytes` of it. False with `*error` on a
  /// store error or when there is no such record.
  virtual bool content(const std::string& path, std::size_t max_bytes, std::string* out, std::string* error) = 0;
  /// The store's counts.
  virtual bool stats(Stats* out, std::string* error) = 0;
};

/// Opens the store named by `location` (a file path or a PostgreSQL URI) for reading; nothing is ever
/// created or written. Null with `*error` (naming the reason) when it cannot be opened or holds
/// no tessary schema.
std::unique_ptr<StoreReader> open_store(const std::string& location, std::string* error);

/// The smallest byte string greater than every string that starts with `prefix`; empty when
/// there is none (the prefix is empty or all bytes 0xFF).
std::string prefix_successor(const std::string& prefix);

// The two implementations (sqlite_reader.cpp, pg_reader.cpp).
std::unique_ptr<StoreReader> open_sqlite_reader(const std::string& path, std::string* error);
std::unique_ptr<StoreReader> open_pg_reader(const std::string& uri, std::string* error);

}  // namespace tessary::search
