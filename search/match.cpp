#include "search/match.h"

#include <algorithm>

#include "search/text.h"
#include "store/tokens.h"

namespace tessary::search {

namespace {

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

constexpr std::size_t kSnippetBytes = 160;
constexpr std::size_t kSnippetLead = 50;

}  // namespace

double score_from_counts(const std::vector<std::size_t>& counts, std::size_t tokens) {
  const double norm = 1.2 * (0.25 + 0.75 * static_cast<double>(tokens) / 1000.0);
  double score = 0;
  for (std::size_t c : counts) {
    const double tf = static_cast<double>(c);
    score += tf * 2.2 / (tf + norm);
  }
  return score;
}

Match match_content(const Query& query, std::string_view content) {
  Match m;
  std::size_t longest = 1;
  for (const Term& term : query.terms) longest = std::max(longest, term.words.size());
  // The last `longest` tokens, in a ring.
  std::vector<store::Token> ring(longest);
  std::vector<std::size_t> counts(query.terms.size(), 0);
  std::size_t seen = 0;
  store::TokenCursor cursor(content);
  while (cursor.next(&ring[seen % longest])) {
    ++seen;
    for (std::size_t t = 0; t < query.terms.size(); ++t) {
      const Term& term = query.terms[t];
      const std::size_t k = term.words.size();
      if (k > seen) continue;
      bool ok = true;
      for (std::size_t j = 0; j < k && ok; ++j) {
        const store::Token& token = ring[(seen - k + j) % longest];
        const bool last = j + 1 == k;
        ok = last && term.prefix ? starts_with(token.text, term.words[j]) : token.text == term.words[j];
      }
      if (!ok) continue;
      ++counts[t];
      if (m.hits.size() < kMaxHits) {
        m.hits.emplace_back(ring[(seen - k) % longest].begin, ring[(seen - 1) % longest].end);
      }
    }
  }
  m.matched = std::all_of(counts.begin(), counts.end(), [](std::size_t c) { return c > 0; });
  if (!m.matched) return m;
  m.score = score_from_counts(counts, seen);
  std::sort(m.hits.begin(), m.hits.end());
  return m;
}

std::string make_snippet(std::string_view content,
                         const std::vector<std::pair<std::size_t, std::size_t>>& hits) {
  const auto is_continuation = [&](std::size_t i) {
    return i < content.size() && (static_cast<unsigned char>(content[i]) & 0xC0) == 0x80;
  };
  std::size_t begin = 0;
  if (!hits.empty() && hits.front().first > kSnippetLead) {
    begin = hits.front().first - kSnippetLead;
    // Start after a separator when one is near, else on a character boundary.
    const std::size_t space = content.find(' ', begin);
    if (space != std::string_view::npos && space < hits.front().first && space < begin + 20) begin = space + 1;
    for (int step = 0; step < 3 && is_continuation(begin); ++step) ++begin;
  }
  std::size_t end = std::min(content.size(), begin + kSnippetBytes);
  if (!hits.empty()) end = std::max(end, std::min(content.size(), hits.front().second));
  for (int step = 0; step < 3 && end > begin && is_continuation(end); ++step) --end;

  std::string out;
  if (begin > 0) out += "\xE2\x80\xA6";
  bool blank = false;
  std::size_t next_hit = 0;
  std::size_t i = begin;
  bool in_hit = false;
  std::size_t hit_end = 0;
  while (i < end) {
    if (in_hit && i >= hit_end) {
      out.push_back(kHitEnd);
      in_hit = false;
    }
    while (next_hit < hits.size() && hits[next_hit].second <= i) ++next_hit;
    if (!in_hit && next_hit < hits.size() && hits[next_hit].first <= i) {
      if (blank) out.push_back(' ');
      blank = false;
      out.push_back(kHitBegin);
      in_hit = true;
      hit_end = hits[next_hit].second;
      ++next_hit;
    }
    std::size_t len = 1;
    const unsigned char b = static_cast<unsigned char>(content[i]);
    const int c = b < 0x80 ? b : store::decode_utf8(content, i, &len);
    if (c >= 0 && (c <= 0x20 || c == 0x7F || (c >= 0x80 && c <= 0xA0))) {
      blank = !out.empty() && out.back() != kHitBegin;
    } else {
      if (blank) out.push_back(' ');
      blank = false;
      if (c < 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(content.data() + i, len);
      }
    }
    i += len;
  }
  if (in_hit) out.push_back(kHitEnd);
  if (end < content.size()) out += "\xE2\x80\xA6";
  return out;
}

}  // namespace tessary::search
