// Filling an index store for the search tests and the benchmark through the store's own writer
// (the one tessary-server uses), from records given field by field.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace harness {

/// One stored record; times "YYYY-MM-DD HH:MM:SS", stamp "YYYY-MM-DD HH:MM:SS.ffffff".
struct StoredRecord {
  std::string path;
  std::string name;
  std::string atime, mtime, ctime;
  long long size = 0;
  std::optional<std::string> md5;
  std::string stamp;
  std::string content;
};

/// Opens (creating) the store `location` (an SQLite file path or a postgresql:// URI) and writes
/// `records` in batches of 1000, then `rejected` and `last_received` ("YYYY-MM-DDTHH:MM:SS").
/// Returns an error message, empty on success.
std::string fill_store(const std::string& location, const std::vector<StoredRecord>& records, long long rejected = 0,
                       const std::string& last_received = "");

}  // namespace harness
