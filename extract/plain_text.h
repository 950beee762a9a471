// The plain-text reader: line by line, lowercased, charset detected by ICU and converted to UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace tessary {

/// Longest line kept from a plain-text file; the rest of such a line is read and dropped.
constexpr std::size_t kMaxTextLine = 16u << 20;

/// Appends the rendered lines of the file at `path` to `content`, reading lines until the line
/// counter equals the parsed `line_limit` (strtol, base 10, held as int32) or the file ends.
/// Lines of a file whose `description` is one of the known problem descriptions become marker
/// texts. A file that cannot be opened appends nothing.
void read_plain_text(const std::string& path, std::string& content, const std::string& description,
                     const std::string& line_limit, const std::string& buffer_size);

/// The marker text for `description`, or an empty string when the description matches no entry.
std::string problem_marker(const std::string& description);

/// Renders one line (without its line feed) as the reader does after the description tests:
/// lowercased, charset detected, taken unchanged or converted to UTF-8 into a buffer of
/// `buffer_size` bytes, lowercased again.
std::string render_text_line(const std::string& line, long buffer_size);

}  // namespace tessary
