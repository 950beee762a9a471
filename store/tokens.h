// Words of stored text, the one definition that the index and the search share.
//
// A token is a maximal run of letters (Unicode categories L*), digits and numbers (N*) and
// private-use characters (Co); everything else (spaces, punctuation, symbols, marks, control
// characters, bytes that are not valid UTF-8) separates tokens. Tokens are lowercased code point
// by code point. This is the rule of SQLite's "unicode61 remove_diacritics 0" tokenizer that the
// embedded store's full-text table uses, so a token found here is a token found there.
//
// PostgreSQL's tsvector is built from the same tokens (tsvector_literal), never from
// PostgreSQL's own word parser, which keeps e-mail addresses, host names and file paths as one
// word and would make the two stores disagree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary::store {

/// One token of a text: its byte range in the text and its lowercased UTF-8 form.
struct Token {
  std::size_t begin = 0;  ///< offset of the token's first byte
  std::size_t end = 0;    ///< offset one past its last byte
  std::string text;       ///< lowercased form (valid UTF-8)
};

/// Walks the tokens of a text from left to right; the text must outlive the cursor.
class TokenCursor {
 public:
  /// Starts at the text's first byte.
  explicit TokenCursor(std::string_view text) : text_(text) {}
  /// Puts the next token into `*token` (its `text` buffer is reused) and returns true; false at
  /// the end of the text.
  bool next(Token* token);
  /// Restarts at byte `offset` (which should be a separator or a token's first byte).
  void seek(std::size_t offset) { pos_ = offset; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

/// Decodes one UTF-8 sequence at `text[pos]`: returns the code point and sets `*length` to its
/// byte count; an invalid, overlong, surrogate or truncated sequence gives -1 with `*length` 1.
int decode_utf8(std::string_view text, std::size_t pos, std::size_t* length);

/// True when code point `c` belongs to a token (letters, numbers, private use).
bool is_token_char(int c);

/// Longest token (in bytes) that PostgreSQL accepts as a lexeme; longer tokens are left out of
/// the tsvector (the search still finds them by reading the content).
constexpr std::size_t kLexemeMax = 2000;

/// The tsvector input text for `content`: every distinct token of its first `source_max` bytes
/// (cut back to a character boundary), quoted, without positions, e.g. "'brown' 'fox'"; at most
/// about 900 KiB so the value stays under PostgreSQL's 1 MiB tsvector limit. Give it to
/// PostgreSQL as a bound parameter cast with ::tsvector.
std::string tsvector_literal(std::string_view content, std::size_t source_max);

}  // namespace tessary::store
