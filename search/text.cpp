#include "search/text.h"

#include <cstdio>

#include "store/tokens.h"

namespace tessary::search {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD";

bool is_bidi_control(int c) {
  return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Calls `emit(code point, bytes)` for each character; an invalid byte comes as (-1, that byte).
template <typename Emit>
void each_char(std::string_view bytes, Emit emit) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t len = 1;
    const int c = static_cast<unsigned char>(bytes[i]) < 0x80 ? static_cast<unsigned char>(bytes[i])
                                                               : store::decode_utf8(bytes, i, &len);
    emit(c, bytes.substr(i, len));
    i += len;
  }
}

}  // namespace

std::string valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  each_char(bytes, [&](int c, std::string_view raw) {
    if (c < 0) {
      out += kReplacement;
    } else {
      out.append(raw.data(), raw.size());
    }
  });
  return out;
}

void append_json_string(std::string_view bytes, std::string* out) {
  out->push_back('"');
  each_char(bytes, [&](int c, std::string_view raw) {
    char buf[16];
    switch (c) {
      case -1: *out += kReplacement; return;
      case '"': *out += "\\\""; return;
      case '\\': *out += "\\\\"; return;
      case '\n': *out += "\\n"; return;
      case '\r': *out += "\\r"; return;
      case '\t': *out += "\\t"; return;
      default: break;
    }
    if (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      *out += buf;
      return;
    }
    out->append(raw.data(), raw.size());
  });
  out->push_back('"');
}

std::string terminal_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  each_char(bytes, [&](int c, std::string_view raw) {
    char buf[12];
    if (c < 0) {
      out += kReplacement;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      out += buf;
    } else if ((c >= 0x80 && c <= 0x9F) || is_bidi_control(c)) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(raw.data(), raw.size());
    }
  });
  return out;
}

}  // namespace tessary::search
