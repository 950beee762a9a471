// The index store: opening it from a location and writing batches of parsed records into it. The
// schema is in store/schema.h; this unit is its only writer.
//
// A location is a file path (SQLite, the embedded default) or a "postgresql://" / "postgres://" URI
// (libpq). Every batch is one transaction; a record replaces the row of its path only when its
// stamp is strictly newer (compared as times), so records that arrive out of order never let an
// older one win, also with several servers writing into one PostgreSQL database.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/record_parser.h"

namespace tessary::store {

/// True when `location` names a PostgreSQL database ("postgresql://" or "postgres://").
bool is_postgres_location(const std::string& location);

/// One writer connection to a store. Not thread-safe: one thread uses it.
class Store {
 public:
  virtual ~Store() = default;

  /// Writes `records` and the counts in ONE transaction: each record is stored unless its path
  /// already has a row with the same or a newer stamp; `rejected` is added to the "rejected"
  /// statistic; "last_received" becomes `received_at` ("YYYY-MM-DDTHH:MM:SS") when `records` is
  /// not empty. Returns false with a message in `error` when the transaction did not commit (then
  /// nothing of it is in the store and the batch may be given again).
  virtual bool apply(const std::vector<const IndexRecord*>& records, std::uint64_t rejected,
                     const std::string& received_at, std::string* error) = 0;

  /// Every stored row, ordered by path (bytewise). For checks and tools; false with `error` on a
  /// store error.
  virtual bool read_rows(std::vector<IndexRecord>* rows, std::string* error) = 0;

  /// The statistic `name` ("rejected", "last_received"); empty when it is not set.
  virtual bool read_stat(const std::string& name, std::string* value, std::string* error) = 0;

  /// Files the store consists of (SQLite: the database and its -wal and -shm files); empty for a
  /// server database. Used to hand them to the user the server runs as.
  virtual std::vector<std::string> files() const = 0;
};

/// Opens the store named by `location`, creating its schema when missing (SQLite: also the file, and
/// its directory when only that last level is missing). Returns null with a message naming the
/// store and the reason in `error` when it cannot be opened, is not a tessary store, or was made
/// by a newer schema version.
std::unique_ptr<Store> open_store(const std::string& location, std::string* error);

/// The server's local time now, as "last_received" holds it ("YYYY-MM-DDTHH:MM:SS").
std::string local_time_now();

}  // namespace tessary::store
