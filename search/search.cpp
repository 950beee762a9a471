#include "search/search.h"

#include <algorithm>
#include <cstdio>

#include "search/match.h"
#include "search/text.h"

namespace tessary::search {

namespace {

bool listing_before(const Request& request, const Row& a, const Row& b) {
  if (request.duplicates) {
    if (a.size != b.size) return a.size > b.size;
    if (a.md5 != b.md5) return a.md5 < b.md5;
  } else if (!request.query.terms.empty() && a.score != b.score) {
    return a.score > b.score;
  }
  if (a.mtime != b.mtime) return a.mtime > b.mtime;
  return a.path < b.path;
}

// Fills in what the page rows still need: a snippet (around the first hit for a query, else of
// the content's start), the whole content.
bool finish_rows(StoreReader& store, const Request& request, bool have_snippets, std::vector<Row>* rows,
                 std::string* error) {
  const bool terms = !request.query.terms.empty();
  for (Row& row : *rows) {
    // A query's snippet needs the whole content (its hits may lie anywhere); then --content
    // reuses what was read.
    bool whole = false;
    if (!have_snippets) {
      whole = terms || request.content;
      if (!store.content(row.path, whole ? SIZE_MAX : kSnippetSource, &row.content, error)) return false;
      row.snippet = make_snippet(row.content, terms ? match_content(request.query, row.content).hits
                                                    : std::vector<std::pair<std::size_t, std::size_t>>());
    }
    if (!request.content) {
      row.content.clear();
    } else if (!whole && !store.content(row.path, SIZE_MAX, &row.content, error)) {
      return false;
    }
  }
  return true;
}

// Orders the candidate rows, keeps the requested page of them and finishes its rows.
bool page_of(StoreReader& store, const Request& request, std::vector<Row> rows, std::int64_t total,
             bool have_snippets, Result* result, std::string* error) {
  result->total = total;
  const std::int64_t available = static_cast<std::int64_t>(rows.size());
  const std::size_t first = static_cast<std::size_t>(std::min<std::int64_t>(request.offset, available));
  const std::size_t last = request.limit == 0
                               ? rows.size()
                               : static_cast<std::size_t>(std::min<std::int64_t>(
                                     available, static_cast<std::int64_t>(first) + request.limit));
  const auto before = [&](const Row& a, const Row& b) { return listing_before(request, a, b); };
  std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(last), rows.end(), before);
  result->rows.assign(std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(first)),
                      std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(last)));
  return finish_rows(store, request, have_snippets, &result->rows, error);
}

bool search_in_snapshot(StoreReader& store, const Request& request, Result* result, std::string* error) {
  const bool terms = !request.query.terms.empty();
  // Without terms and name glob the store orders and pages itself.
  if (!terms && !request.name_glob) {
    if (!store.page(request, &result->rows, &result->total, error)) return false;
    for (Row& row : result->rows) {
      row.snippet = make_snippet(row.content, {});
      row.content.clear();
    }
    return finish_rows(store, request, true, &result->rows, error);
  }
  std::vector<Row> rows;
  // A store that decides queries itself scores them too; the others give contents to read.
  const bool read_contents = terms && !store.decides_queries();
  std::int64_t head_total = -1;
  if (terms && request.limit > 0) {
    error->clear();
    if (store.ranked_head(request, static_cast<std::size_t>(request.offset + request.limit), &rows, &head_total,
                          error)) {
      return page_of(store, request, std::move(rows), head_total, read_contents, result, error);
    }
    if (!error->empty()) return false;
  }
  const bool ok = store.scan(
      request, read_contents,
      [&](Row& row, std::string_view content) {
        if (request.name_glob && !glob_match(*request.name_glob, row.name)) return true;
        if (read_contents) {
          const Match m = match_content(request.query, content);
          if (!m.matched) return true;
          row.score = m.score;
          row.snippet = make_snippet(content, m.hits);
        }
        rows.push_back(row);
        return true;
      },
      error);
  if (!ok) return false;
  const auto total = static_cast<std::int64_t>(rows.size());
  return page_of(store, request, std::move(rows), total, read_contents, result, error);
}

}  // namespace

bool run_search(StoreReader& store, const Request& request, Result* result, std::string* error) {
  result->total = 0;
  result->rows.clear();
  if (!store.begin(error)) return false;
  const bool ok = search_in_snapshot(store, request, result, error);
  store.end();
  return ok;
}

std::string row_json(const Row& row, bool with_content) {
  std::string out = "{\"path\":";
  append_json_string(row.path, &out);
  out += ",\"name\":";
  append_json_string(row.name, &out);
  out += ",\"atime\":";
  append_json_string(row.atime, &out);
  out += ",\"mtime\":";
  append_json_string(row.mtime, &out);
  out += ",\"ctime\":";
  append_json_string(row.ctime, &out);
  out += ",\"size\":" + std::to_string(row.size) + ",\"md5\":";
  if (row.md5) {
    append_json_string(*row.md5, &out);
  } else {
    out += "null";
  }
  out += ",\"stamp\":";
  append_json_string(row.stamp, &out);
  out += ",\"snippet\":";
  append_json_string(row.snippet, &out);
  if (with_content) {
    out += ",\"content\":";
    append_json_string(row.content, &out);
  }
  out += "}";
  return out;
}

}  // namespace tessary::search
