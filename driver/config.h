// The positional configuration file.
#pragma once

#include <string>
#include <vector>

#include "process/text.h"

namespace tessary {

/// Positions of the values in the configuration file (counted among its non-empty lines).
/// Positions 10 to 15 are not read; they must be present so that the later ones fall right.
enum ConfigPosition : std::size_t {
  kServerHost = 0,         ///< index server host: a name or a dotted IPv4 address
  kServerPort = 1,         ///< index server port (decimal, low 16 bits)
  kWordSwitch = 2,         ///< Word documents through libreoffice
  kSpreadsheetSwitch = 3,  ///< spreadsheets through libreoffice
  kLineLimit = 4,          ///< lines of a plain-text file, and lines of PDF text
  kBufferSize = 5,         ///< conversion buffer size in bytes (UTF-8 form of one text line)
  kExecutableSwitch = 6,   ///< Windows executables under wine
  kWindowsProgram = 7,     ///< the Windows program run with the file's path as its argument
  kWorkDirectory = 8,      ///< spreadsheet work directory, with its trailing "/"
  kDigestSwitch = 9,       ///< MD5 digest of the file
  kMediaSwitch = 16,       ///< MP3 and FLAC tags
  kPdfSwitch = 17,         ///< PDF text
};

/// Number of values a run needs (indexes 0 to 17).
constexpr std::size_t kConfigValuesNeeded = 18;

/// Longest value kept from one configuration line.
constexpr std::size_t kConfigValueMax = 999;

/// Value that one non-empty configuration line yields: the text from two characters after the
/// line's last "=" (or from its second character when it has none), at most 999 characters;
/// empty when the line ends before that.
std::string config_value_of_line(const std::string& line);

/// Parses configuration text: one value per non-empty line (lines end at a line feed, which is
/// not part of the line; a last line without one counts too).
std::vector<std::string> parse_config_text(const std::string& text);

}  // namespace tessary

/// Appends one value per non-empty line of the configuration file to `config`.
/// Returns false, with errno set, when the file cannot be opened or read; the values read
/// before the failure stay in `config`.
bool read_config_file(std::vector<std::string>& config);
