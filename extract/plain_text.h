// The plain-text reader: line by line, lowercased, charset detected by ICU and converted to UTF-8.
//
// One ICU charset detector serves the whole file; it is asked only for lines whose rendering
// depends on its answer. Lowercasing is byte by byte and touches only the letters A to Z, as
// tolower does in the "C" locale the program never leaves (process/text.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessary {

/// Longest line kept from a plain-text file; the rest of such a line is read and dropped, and
/// the whole line still counts as one line. Keeps a run's memory bounded for a file that is one
/// huge line without a line feed.
constexpr std::size_t kMaxTextLine = 8u << 20;

/// Most bytes the reader appends to the content for one file; reading stops there and the text
/// is cut at that size.
constexpr std::size_t kMaxTextContent = 16u << 20;

/// Appends the rendered lines of the file at `path` to `content`, with nothing between them.
/// Lines end at a line feed (removed; a carriage return before it stays); a last line without a
/// line feed counts too. Reading stops when the line counter equals `line_limit` (strtol base 10,
/// held as int32: "0" or a text without digits reads nothing, a negative limit reads the whole
/// file) or at the end of the file. `buffer_size` is parsed the same way and sizes the conversion
/// buffer. When `description` matches a known problem description every line becomes that
/// marker text (lowercased) instead. A file that cannot be opened or read appends nothing.
void read_plain_text(const std::string& path, std::string& content, const std::string& description,
                     const std::string& line_limit, const std::string& buffer_size);

/// The marker text for `description` (not yet lowercased), or an empty string when the
/// description matches no entry of the problem table.
std::string problem_marker(const std::string& description);

/// Renders one line (without its line feed) as the reader does when no marker applies:
/// lowercased, charset detected by ICU, then taken unchanged (valid UTF-8, or named "UTF-8")
/// or converted to UTF-8 into a buffer of `buffer_size` bytes, lowercased again. A line that
/// needs converting gives nothing when `buffer_size` is 0 or less.
std::string render_text_line(const std::string& line, std::int32_t buffer_size);

/// Converts `bytes` from the ICU charset `charset` to UTF-8 as through a buffer of `buffer_size`
/// bytes: the result is what fits in the buffer, cut at its first NUL byte, lowercased (A to Z
/// only). An empty or unknown
/// charset name, a conversion error or a `buffer_size` of 0 or less gives an empty string.
std::string convert_to_utf8(const std::string& charset, const std::string& bytes,
                            std::int32_t buffer_size);

/// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
/// U+10FFFF); zero bytes are well-formed.
bool is_valid_utf8(const char* bytes, std::size_t length);

}  // namespace tessary
