// The query language of tessary-search and the search page, parsed by one pure function.
//
//   words        every word must occur in the content (in any order)
//   "a phrase"   the words must occur one right after the other
//   prefix*      a word starting with "prefix"; "a phr"* makes the phrase's last word a prefix
//
// Words are the tokens of store/tokens.h: "e-mail" is the phrase "e mail", case does not matter,
// and punctuation, operators and quotes of any query syntax are separators, so query text never
// reaches a store's query language as syntax. A quote left open runs to the end of the text.
#pragma once

#include <string>
#include <vector>

namespace tessary::search {

/// One condition of a query: consecutive tokens equal to `words`, the last one only starting
/// with its word when `prefix` is set. A single word is a one-word phrase.
struct Term {
  std::vector<std::string> words;  ///< lowercased tokens, at least one
  bool prefix = false;
  bool operator==(const Term& other) const { return words == other.words && prefix == other.prefix; }
};

/// A parsed query: every term must match. No terms means "every record".
struct Query {
  std::vector<Term> terms;
};

/// Parses query text (any bytes; never fails: what is not a word is a separator).
Query parse_query(const std::string& text);

/// The query written back in its own language, one term after another (for messages and tests):
/// `a "b c" d*`.
std::string query_text(const Query& query);

/// An FTS5 MATCH expression for the query: every term as a quoted string (a '*' after it for a
/// prefix) joined by AND. Empty for a query without terms. Bind it as a parameter.
std::string fts5_expression(const Query& query);

/// A PostgreSQL tsquery input text that every record matching the query also matches: every
/// word joined by '&' (a phrase's word order is checked afterwards by reading the content),
/// prefixes as 'word':*. Words longer than store::kLexemeMax are left out. Empty when no word
/// remains. Bind it as a parameter cast with ::tsquery.
std::string tsquery_expression(const Query& query);

}  // namespace tessary::search
