// Deciding whether a content matches a query, how well, and the snippet that shows it.
//
// Both stores only narrow the records down with their indexes; the final decision, the score and
// the snippet are made here from the stored content, so the embedded store and PostgreSQL give
// the same answers for the same records.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "search/query.h"

namespace tessary::search {

/// Marks around a hit in a snippet: STX before, ETX after. Snippets hold no other control
/// characters, so the marks are unambiguous (JSON writes them as \u0002 and \u0003).
constexpr char kHitBegin = '\x02';
constexpr char kHitEnd = '\x03';

/// Most hits remembered per content (for the snippet).
constexpr std::size_t kMaxHits = 32;

/// What matching found in one content.
struct Match {
  bool matched = false;                                  ///< every term occurs
  double score = 0;                                      ///< relevance (higher is better)
  std::vector<std::pair<std::size_t, std::size_t>> hits;  ///< byte ranges of the first hits
};

/// Relevance of a content of `tokens` tokens in which term i occurs counts[i] times: for every
/// term, tf * 2.2 / (tf + 1.2 * (0.25 + 0.75 * tokens / 1000)) summed over the terms (BM25 without
/// document frequencies, so it depends on the content alone). The embedded store computes it
/// from its full-text index with the same function, so both stores rank alike.
double score_from_counts(const std::vector<std::size_t>& counts, std::size_t tokens);

/// Matches `content` against `query` (which must have terms); the score is score_from_counts.
Match match_content(const Query& query, std::string_view content);

/// A snippet of about 160 bytes of `content` around its first hit (or its start when `hits` is
/// empty): valid UTF-8 (see text.h), each run of white space and control characters shown as one
/// blank, hits inside the window wrapped in kHitBegin/kHitEnd, "…" where text was cut off.
std::string make_snippet(std::string_view content,
                         const std::vector<std::pair<std::size_t, std::size_t>>& hits);

/// Bytes of content that a snippet without hits needs at most.
constexpr std::size_t kSnippetSource = 1024;

}  // namespace tessary::search
