// The search's pure parts: query language, tokens, option values, globs, JSON and snippets.
#include <gtest/gtest.h>

#include "search/match.h"
#include "search/query.h"
#include "search/request.h"
#include "search/text.h"
#include "store/tokens.h"

namespace {

using tessary::search::parse_query;

TEST(SearchQuery, ParsesIntoTermsAndStoreExpressions) {
  struct Case {
    const char* input;
    const char* terms;    // query_text of the result
    const char* fts5;     // SQLite MATCH expression
    const char* tsquery;  // PostgreSQL first cut
  };
  const Case cases[] = {
      {"", "", "", ""},
      {"  \t ", "", "", ""},
      {"Quick brown", "quick brown", "\"quick\" AND \"brown\"", "'quick' & 'brown'"},
      {"\"Brown FOX\" jump*", "\"brown fox\" jump*", "\"brown fox\" AND \"jump\" *",
       "'brown' & 'fox' & 'jump':*"},
      {"\"lazy do\"*", "\"lazy do\"*", "\"lazy do\" *", "'lazy' & 'do':*"},
      {"e-mail", "\"e mail\"", "\"e mail\"", "'e' & 'mail'"},
      {"\"unclosed phrase", "\"unclosed phrase\"", "\"unclosed phrase\"", "'unclosed' & 'phrase'"},
      // Operators and syntax of both stores' query languages are only separators.
      {"a OR b NOT c NEAR(d e) col:f ^g", "a or b not c \"near d\" e \"col f\" g",
       "\"a\" AND \"or\" AND \"b\" AND \"not\" AND \"c\" AND \"near d\" AND \"e\" AND \"col f\" AND \"g\"",
       "'a' & 'or' & 'b' & 'not' & 'c' & 'near' & 'd' & 'e' & 'col' & 'f' & 'g'"},
      {"'; DROP TABLE files; --", "drop table files", "\"drop\" AND \"table\" AND \"files\"",
       "'drop' & 'table' & 'files'"},
      {"*** \"\" !!! ''", "", "", ""},
      {"x*y ab*", "\"x y\" ab*", "\"x y\" AND \"ab\" *", "'x' & 'y' & 'ab':*"},
      {"Straße ÉTÉ 東京", "straße été 東京", "\"straße\" AND \"été\" AND \"東京\"", "'straße' & 'été' & '東京'"},
  };
  for (const Case& c : cases) {
    const auto q = parse_query(c.input);
    EXPECT_EQ(tessary::search::query_text(q), c.terms) << c.input;
    EXPECT_EQ(tessary::search::fts5_expression(q), c.fts5) << c.input;
    EXPECT_EQ(tessary::search::tsquery_expression(q), c.tsquery) << c.input;
  }
}

TEST(SearchQuery, TokensAndTsvector) {
  std::vector<std::string> words;
  const std::string text = "Mail: User@Example.COM /usr/bin/x \xff\xfe caf\xc3\xa9 e\xcc\x81t\xc3\xa9 a_b 3.14";
  tessary::store::TokenCursor cursor(text);
  tessary::store::Token token;
  std::string ranges;
  while (cursor.next(&token)) {
    words.push_back(token.text);
    ranges += std::to_string(token.begin) + "-" + std::to_string(token.end) + " ";
  }
  const std::vector<std::string> expected = {"mail", "user", "example", "com", "usr", "bin", "x",
                                             "caf\xc3\xa9", "e", "t\xc3\xa9", "a", "b", "3", "14"};
  EXPECT_EQ(words, expected);
  EXPECT_EQ(ranges, "0-4 6-10 11-18 19-22 24-27 28-31 32-33 37-42 43-44 46-49 50-51 52-53 54-55 56-58 ");
  EXPECT_EQ(tessary::store::tsvector_literal("b a B c a", 100), "'a' 'b' 'c'");
  // The source is cut at a character boundary, never inside "é".
  EXPECT_EQ(tessary::store::tsvector_literal("ab caf\xc3\xa9", 7), "'ab' 'caf'");
  EXPECT_EQ(tessary::store::tsvector_literal(std::string(2500, 'x') + " y", 10000), "'y'");
}

TEST(SearchRequest, OptionValues) {
  using tessary::search::Request;
  Request r;
  std::string error;
  EXPECT_TRUE(set_field(&r, "limit", "0", "--limit", &error));
  EXPECT_EQ(r.limit, 0);
  for (const char* bad : {"-5", "abc", "", "1e3", " 5", "99999999999999999999"}) {
    EXPECT_FALSE(set_field(&r, "limit", bad, "limit", &error)) << bad;
  }
  EXPECT_EQ(error, "limit: not a non-negative number: 99999999999999999999");
  EXPECT_TRUE(set_field(&r, "min-size", "10k", "--min-size", &error));
  EXPECT_EQ(*r.min_size, 10240);
  EXPECT_TRUE(set_field(&r, "max-size", "2G", "--max-size", &error));
  EXPECT_EQ(*r.max_size, 2147483648LL);
  EXPECT_FALSE(set_field(&r, "max-size", "2X", "--max-size", &error));
  EXPECT_FALSE(set_field(&r, "max-size", "99999999999T", "--max-size", &error));
  const std::pair<const char*, const char*> dates[] = {
      {"2024-02-29", "2024-02-29 00:00:00"},   {"2024-02-29T23:59", "2024-02-29 23:59:00"},
      {"1999-12-31 01:02:03", "1999-12-31 01:02:03"}, {"2023-02-29", nullptr}, {"2024-04-31", nullptr},
      {"2024-01-01 24:00", nullptr},           {"2024-1-01", nullptr}, {"2024-01-01x", nullptr},
      {"2024-01-01 10:00:0", nullptr},         {"1900-02-29", nullptr}, {"2000-02-29", "2000-02-29 00:00:00"}};
  for (const auto& [in, out] : dates) {
    std::string parsed;
    EXPECT_EQ(tessary::search::parse_date(in, &parsed), out != nullptr) << in;
    if (out != nullptr) {
      EXPECT_EQ(parsed, out);
    }
  }
  std::string digest;
  EXPECT_TRUE(tessary::search::parse_digest("0123456789ABCDEF0123456789abcdef", &digest));
  EXPECT_EQ(digest, "0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(tessary::search::parse_digest("0123456789abcdef0123456789abcdeg", &digest));
  EXPECT_FALSE(set_field(&r, "sort", "x", "sort", &error));
  std::string many;
  for (int i = 0; i < 65; ++i) many += "w" + std::to_string(i) + " ";
  EXPECT_FALSE(set_field(&r, "query", many, "q", &error));
  EXPECT_EQ(error, "q: more than 64 words");
  many.resize(many.rfind("w64"));
  EXPECT_TRUE(set_field(&r, "query", many, "q", &error));
}

TEST(SearchRequest, NameGlobs) {
  using tessary::search::glob_match;
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"*.txt", "notes.txt", true},     {"*.TXT", "notes.txt", true},   {"*.txt", "notes.txt.gz", false},
      {"n?tes.*", "notes.md", true},    {"?", "\xc3\xa4", true},        {"??", "\xc3\xa4", false},
      {"[a-c]*", "beta", true},         {"[!a-c]*", "beta", false},     {"[^x]", "y", true},
      {"\\*", "*", true},               {"\\*", "a", false},            {"[abc", "[abc", true},
      {"*a*b*c*", "xaxbxcx", true},     {"*a*b*c*", "xaxcxbx", false},  {"", "", true},
      {"*", "", true},                  {"a*", "b", false},             {"*[]]", "x]", true},
  };
  for (const auto& [pattern, name, expected] : cases) {
    EXPECT_EQ(glob_match(pattern, name), expected) << pattern << " ~ " << name;
  }
}

TEST(SearchText, JsonAndTerminal) {
  std::string out;
  tessary::search::append_json_string(std::string("a\"\\\n\t\x01\x7f \xe2\x80\xa8 \xff\xc3 \xed\xa0\x80 \xc0\xaf \xf0\x9f\x98\x80"), &out);
  EXPECT_EQ(out,
            "\"a\\\"\\\\\\n\\t\\u0001\\u007f \\u2028 \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd "
            "\xef\xbf\xbd\xef\xbf\xbd \xf0\x9f\x98\x80\"");
  out.clear();
  tessary::search::append_json_string(std::string("\0x", 2), &out);
  EXPECT_EQ(out, "\"\\u0000x\"");
  EXPECT_EQ(tessary::search::terminal_text("a\x1b[2J\r\n\xe2\x80\xae" "b\xc2\x9b\xff"),
            "a\\x1b[2J\\r\\n\\u202eb\\u009b\xef\xbf\xbd");
}

TEST(SearchMatch, DecidesScoresAndMarks) {
  using tessary::search::match_content;
  const std::string content = "The quick brown fox.\r\nA quick\tbrown dog, quickly.";
  auto m = match_content(parse_query("\"quick brown\" dog"), content);
  ASSERT_TRUE(m.matched);
  EXPECT_EQ(tessary::search::make_snippet(content, m.hits),
            "The \x02quick brown\x03 fox. A \x02quick brown\x03 \x02" "dog\x03, quickly.");
  EXPECT_FALSE(match_content(parse_query("\"brown quick\""), content).matched);
  EXPECT_FALSE(match_content(parse_query("quick cat"), content).matched);
  EXPECT_TRUE(match_content(parse_query("\"a quick bro\"*"), content).matched);
  // More occurrences score higher; the same count in a longer content scores lower.
  const double two = match_content(parse_query("quick"), "quick quick").score;
  const double one = match_content(parse_query("quick"), "quick other").score;
  const double one_long = match_content(parse_query("quick"), "quick " + std::string(20000, 'x') + " " +
                                                                  std::string(20000, 'y')).score;
  EXPECT_GT(two, one);
  EXPECT_GE(one, one_long);

  // A hit far in: the window starts near it, cut ends shown, invalid bytes replaced.
  const std::string long_text = std::string(300, 'a') + " \xff target " + std::string(300, 'b');
  m = match_content(parse_query("target"), long_text);
  EXPECT_EQ(tessary::search::make_snippet(long_text, m.hits),
            "\xe2\x80\xa6" + std::string(47, 'a') + " \xef\xbf\xbd \x02target\x03 " + std::string(103, 'b') +
                "\xe2\x80\xa6");
  EXPECT_EQ(tessary::search::make_snippet("", {}), "");
  EXPECT_EQ(tessary::search::make_snippet("x\x02y\x03z", {}), "x y z");
}

}  // namespace
