#include "search/query.h"

#include "store/tokens.h"

namespace tessary::search {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Adds the tokens of `chunk` as one term (a phrase when there are several).
void add_term(const std::string& chunk, bool prefix, Query* query) {
  Term term;
  store::TokenCursor cursor(chunk);
  store::Token token;
  while (cursor.next(&token)) term.words.push_back(token.text);
  if (term.words.empty()) return;
  term.prefix = prefix;
  query->terms.push_back(std::move(term));
}

}  // namespace

Query parse_query(const std::string& text) {
  Query query;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    std::string chunk;
    if (text[i] == '"') {
      const std::size_t close = text.find('"', i + 1);
      const std::size_t end = close == std::string::npos ? n : close;
      chunk = text.substr(i + 1, end - i - 1);
      i = close == std::string::npos ? n : close + 1;
    } else {
      const std::size_t start = i;
      while (i < n && !is_space(text[i]) && text[i] != '"') ++i;
      chunk = text.substr(start, i - start);
      // A bare word that ends in '*' is a prefix; the '*' itself is a separator.
      if (!chunk.empty() && chunk.back() == '*') {
        add_term(chunk, true, &query);
        continue;
      }
    }
    const bool prefix = i < n && text[i] == '*';
    if (prefix) ++i;
    add_term(chunk, prefix, &query);
  }
  return query;
}

std::string query_text(const Query& query) {
  std::string out;
  for (const Term& term : query.terms) {
    if (!out.empty()) out.push_back(' ');
    const bool quoted = term.words.size() > 1;
    if (quoted) out.push_back('"');
    for (std::size_t i = 0; i < term.words.size(); ++i) {
      if (i > 0) out.push_back(' ');
      out += term.words[i];
    }
    if (quoted) out.push_back('"');
    if (term.prefix) out.push_back('*');
  }
  return out;
}

std::string fts5_expression(const Query& query) {
  std::string out;
  for (const Term& term : query.terms) {
    if (!out.empty()) out += " AND ";
    out.push_back('"');
    for (std::size_t i = 0; i < term.words.size(); ++i) {
      if (i > 0) out.push_back(' ');
      // Tokens hold only letters and numbers; doubling quotes keeps that safe even so.
      for (char c : term.words[i]) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
      }
    }
    out.push_back('"');
    if (term.prefix) out += " *";
  }
  return out;
}

std::string tsquery_expression(const Query& query) {
  std::string out;
  for (const Term& term : query.terms) {
    for (std::size_t i = 0; i < term.words.size(); ++i) {
      const std::string& word = term.words[i];
      if (word.size() > store::kLexemeMax) continue;
      if (!out.empty()) out += " & ";
      out.push_back('\'');
      for (char c : word) {
        if (c == '\'' || c == '\\') out.push_back(c == '\'' ? '\'' : '\\');
        out.push_back(c);
      }
      out.push_back('\'');
      if (term.prefix && i + 1 == term.words.size()) out += ":*";
    }
  }
  return out;
}

}  // namespace tessary::search
