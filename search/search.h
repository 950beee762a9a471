// Running a search request against a store: the part both stores share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "search/request.h"
#include "search/store_reader.h"

namespace tessary::search {

/// The answer to a request: how many records match, and the requested page of them.
struct Result {
  std::int64_t total = 0;
  std::vector<Row> rows;
};

/// Answers `request` from `store` inside one read snapshot. Order: with --duplicates, size
/// descending, then digest, then newest mtime, then path bytes; with query terms, score
/// descending, then newest mtime, then path bytes; otherwise newest mtime, then path bytes.
/// False with `*error` on a store error.
bool run_search(StoreReader& store, const Request& request, Result* result, std::string* error);

/// The JSON object of one row: path, name, atime, mtime, ctime, size, md5 (null for none),
/// stamp, snippet, and content when `with_content`; strings as text.h's append_json_string.
std::string row_json(const Row& row, bool with_content);

}  // namespace tessary::search
