// Fuzzes what the search does with hostile text: any query text parses into terms whose words
// are tokens (so the store expressions built from them hold no syntax), matching never reads
// outside the content and its hits lie inside it, and snippets and JSON strings are valid UTF-8
// without raw control characters (the snippet's own hit marks aside).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "search/match.h"
#include "search/query.h"
#include "search/request.h"
#include "search/text.h"
#include "store/tokens.h"

namespace {

// True when `text` is valid UTF-8 with no control character other than those in `allowed`.
bool clean_utf8(const std::string& text, const std::string& allowed) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 0;
    const int c = tessary::store::decode_utf8(text, i, &len);
    if (c < 0) return false;
    if ((c < 0x20 || c == 0x7F) && allowed.find(static_cast<char>(c)) == std::string::npos) return false;
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string query_text = provider.ConsumeRandomLengthString(256);
  const std::string glob = provider.ConsumeRandomLengthString(64);
  const std::string content = provider.ConsumeRemainingBytesAsString();

  const tessary::search::Query query = tessary::search::parse_query(query_text);
  for (const tessary::search::Term& term : query.terms) {
    FUZZ_CHECK(!term.words.empty());
    for (const std::string& word : term.words) {
      // A word is exactly one token of itself.
      tessary::store::TokenCursor cursor(word);
      tessary::store::Token token;
      FUZZ_CHECK(cursor.next(&token) && token.begin == 0 && token.end == word.size() && !cursor.next(&token));
    }
  }
  // The query written back parses to the same terms.
  FUZZ_CHECK(tessary::search::parse_query(tessary::search::query_text(query)).terms == query.terms);
  const std::string fts = tessary::search::fts5_expression(query);
  FUZZ_CHECK(clean_utf8(fts, ""));

  std::vector<std::pair<std::size_t, std::size_t>> hits;
  if (!query.terms.empty()) {
    const tessary::search::Match m = tessary::search::match_content(query, content);
    for (const auto& [begin, end] : m.hits) FUZZ_CHECK(begin < end && end <= content.size());
    FUZZ_CHECK(!m.matched || m.score > 0);
    hits = m.hits;
  }
  const std::string snippet = tessary::search::make_snippet(content, hits);
  FUZZ_CHECK(clean_utf8(snippet, std::string("\x02\x03", 2)));
  std::string json;
  tessary::search::append_json_string(content, &json);
  FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"' && clean_utf8(json, ""));
  FUZZ_CHECK(clean_utf8(tessary::search::terminal_text(content), ""));
  tessary::search::glob_match(glob, content.substr(0, 256));
  return 0;
}
