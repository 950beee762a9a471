// Making stored bytes safe to show: valid UTF-8, JSON strings, terminal text.
//
// Stored paths, names and contents are the bytes a record carried and need not be valid UTF-8.
// Every byte that does not start a valid UTF-8 sequence (including overlong forms, surrogates and
// truncated sequences) becomes U+FFFD, one replacement character per such byte, so the output is
// the same for the same bytes everywhere.
#pragma once

#include <string>
#include <string_view>

namespace tessary::search {

/// `bytes` as valid UTF-8 (see above).
std::string valid_utf8(std::string_view bytes);

/// Appends `bytes` as a JSON string literal, quotes included: valid UTF-8 as above, '"' and '\'
/// escaped, control characters U+0000-U+001F and U+007F as \uXXXX (or \n, \t, ...), and U+2028,
/// U+2029 escaped so the text is also safe inside JavaScript.
void append_json_string(std::string_view bytes, std::string* out);

/// `bytes` for a terminal: valid UTF-8, and every control character (C0, DEL, C1) and bidi
/// control (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) written as a visible escape (\n, \t,
/// \x1b, \u202e), so stored text can neither move the cursor nor reorder what follows it.
std::string terminal_text(std::string_view bytes);

}  // namespace tessary::search
