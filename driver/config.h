// The positional configuration file.
#pragma once

#include <string>
#include <vector>

namespace tessary {

/// Number of values a run needs (indexes 0 to 17).
constexpr std::size_t kConfigValuesNeeded = 18;

/// Longest value kept from one configuration line.
constexpr std::size_t kConfigValueMax = 999;

/// Value that one non-empty configuration line yields: the text from two characters after the
/// line's last "=" (or from its second character when it has none), at most 999 characters;
/// empty when the line ends before that.
std::string config_value_of_line(const std::string& line);

/// True when a switch value is on: exactly "true".
bool switch_on(const std::string& value);

/// Parses configuration text: one value per non-empty line (lines end at a line feed, which is
/// not part of the line; a last line without one counts too).
std::vector<std::string> parse_config_text(const std::string& text);

}  // namespace tessary

/// Appends one value per non-empty line of the configuration file to `config`.
/// Returns false, with errno set, when the file cannot be opened or read; the values read
/// before the failure stay in `config`.
bool read_config_file(std::vector<std::string>& config);
