// Fixtures of the dispatcher tests that need real tools, made once per test process: office
// documents converted by the real libreoffice from text and CSV, and a Windows console program
// built with mingw-w64 together with a wine prefix to run it in.
#pragma once

#include <string>
#include <vector>

namespace dispatcher_fixtures {

/// Lines of the Word fixtures (eight: two more than the dispatcher keeps).
extern const std::vector<std::string> kWordLines;
/// Rows of rows.xlsx and of other.xls (eight each, different content).
extern const std::vector<std::string> kSheetRows;
extern const std::vector<std::string> kOtherRows;

/// The first `n` of `lines`, each followed by a line feed.
std::string lines_text(const std::vector<std::string>& lines, std::size_t n);

/// A directory holding words.docx, words.doc (from kWordLines), rows.xlsx (kSheetRows) and
/// other.xls (kOtherRows), made on first use; empty when libreoffice is not installed.
const std::string& office_dir();

/// The Windows program: prints "Windows Program SAYS Hello" and then "Arg[i]=..." for each of
/// its arguments, in text mode (CR LF line ends).
struct Wine {
  std::string program;  ///< Show.exe, a PE32+ console program
  std::string stub;     ///< a bare 64-byte DOS MZ program
  std::string prefix;   ///< WINEPREFIX made with wineboot -i
  std::string dir;      ///< where all of it lives
};
/// Made on first use; nullptr when wine or mingw-w64 is not installed.
const Wine* wine();

}  // namespace dispatcher_fixtures
