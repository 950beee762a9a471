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

/// What the end-to-end suites that run every branch with the real tools share: the office
/// documents and the Windows program, made side by side on first use.
struct RealTools {
  std::string office;  ///< office_dir()
  const Wine* wine = nullptr;
};
/// Fills `tools` and returns "" when every real tool is installed; otherwise returns why the
/// suite must be skipped (the tool that is missing).
std::string prepare_real_tools(RealTools* tools);

/// One generator of sound fixtures: `seconds` of a sine tone of `hz` as a 16-bit WAV file made by
/// sox, then encoded by lame (MP3, `kbps`) or flac. Each returns an error text, empty on success.
std::string make_tone(const std::string& wav, int rate, int channels, int seconds, int hz);
std::string make_mp3(const std::string& wav, const std::string& mp3, int kbps);
std::string make_flac(const std::string& wav, const std::string& flac);

}  // namespace dispatcher_fixtures
