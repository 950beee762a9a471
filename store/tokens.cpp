#include "store/tokens.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace tessary::store {

int decode_utf8(std::string_view text, std::size_t pos, std::size_t* length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  *length = 1;
  if (b0 < 0x80) return b0;
  std::size_t need = 0;
  int c = 0;
  int min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, c = b0 & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (pos + need >= text.size()) return -1;
  for (std::size_t i = 1; i <= need; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return -1;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  *length = need + 1;
  return c;
}

bool is_token_char(int c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }
  const uint32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_L_MASK | U_GC_N_MASK | U_GC_CO_MASK)) != 0;
}

namespace {

void append_utf8(int c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

namespace {

// ASCII bytes that belong to tokens: digits and letters.
struct AsciiTable {
  bool token[128] = {};
  AsciiTable() {
    for (int c = '0'; c <= '9'; ++c) token[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) token[c] = token[c - 32] = true;
  }
};
const AsciiTable kAscii;

}  // namespace

bool TokenCursor::next(Token* token) {
  const std::size_t n = text_.size();
  const char* p = text_.data();
  // Skip separators.
  while (pos_ < n) {
    const unsigned char b = static_cast<unsigned char>(p[pos_]);
    if (b < 0x80) {
      if (kAscii.token[b]) break;
      ++pos_;
      continue;
    }
    std::size_t len = 0;
    const int c = decode_utf8(text_, pos_, &len);
    if (c >= 0 && is_token_char(c)) break;
    pos_ += len;
  }
  if (pos_ >= n) return false;
  token->begin = pos_;
  token->text.clear();
  while (pos_ < n) {
    // A run of ASCII letters and digits at once.
    std::size_t run = pos_;
    while (run < n && static_cast<unsigned char>(p[run]) < 0x80 && kAscii.token[static_cast<unsigned char>(p[run])]) {
      ++run;
    }
    if (run > pos_) {
      const std::size_t old = token->text.size();
      token->text.append(p + pos_, run - pos_);
      for (std::size_t i = old; i < token->text.size(); ++i) {
        char& ch = token->text[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
      }
      pos_ = run;
      continue;
    }
    const unsigned char b = static_cast<unsigned char>(p[pos_]);
    if (b < 0x80) break;
    std::size_t len = 0;
    const int c = decode_utf8(text_, pos_, &len);
    if (c < 0 || !is_token_char(c)) break;
    append_utf8(u_tolower(c), &token->text);
    pos_ += len;
  }
  token->end = pos_;
  return true;
}

std::string tsvector_literal(std::string_view content, std::size_t source_max) {
  std::size_t cut = std::min(content.size(), source_max);
  // Back to a character boundary so a multi-byte letter is never split into a shorter token.
  for (int step = 0; step < 3 && cut > 0 && cut < content.size() &&
                     (static_cast<unsigned char>(content[cut]) & 0xC0) == 0x80;
       ++step) {
    --cut;
  }
  TokenCursor cursor(content.substr(0, cut));
  Token token;
  std::unordered_set<std::string> seen;
  std::vector<std::string> lexemes;
  std::size_t budget = 900u * 1024u;
  while (cursor.next(&token)) {
    if (token.text.size() > kLexemeMax) continue;
    const std::size_t cost = token.text.size() + 8;  // a lexeme's entry in the stored tsvector
    if (cost > budget) break;
    if (!seen.insert(token.text).second) continue;
    budget -= cost;
    lexemes.push_back(token.text);
  }
  std::sort(lexemes.begin(), lexemes.end());
  std::string out;
  for (const std::string& lexeme : lexemes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back('\'');
    for (char ch : lexeme) {
      if (ch == '\'' || ch == '\\') out.push_back(ch == '\'' ? '\'' : '\\');
      out.push_back(ch);
    }
    out.push_back('\'');
  }
  return out;
}

}  // namespace tessary::store
