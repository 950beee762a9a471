// Fuzzes the PDF line keeper: after two control bytes, the input's first line is the configured
// line limit and the rest is Ghostscript's output, handed over in fgets-sized pieces as the
// command runner delivers them.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "readers/pagegrab.h"

namespace {

/// strtol in base 10 brought into the 32-bit range by clamping, written out by hand: leading
/// white space, one sign, then digits up to the first other character; no digits give 0.
std::int32_t reference_limit(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;  // held below 2^32 once it passes the range, so it cannot overflow
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > (1ll << 32)) value = 1ll << 32;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

/// Lines arriving when the kept text is a few KiB short of its bound: the text never grows past
/// the bound, keeps whole pieces only and, once a piece is dropped for the bound, keeps no later
/// one; the line limit still counts.
void check_bound(const std::vector<std::string>& pieces, std::int32_t limit, std::size_t room) {
  // A text reused from run to run, so each run costs only the bytes it appends.
  static std::string kept_text = [] {
    std::string text;
    text.reserve(tessary::kPdfTextMax);
    return text;
  }();
  const std::size_t start = tessary::kPdfTextMax - room;
  kept_text.resize(start, 'x');

  tessary::PdfLines lines;
  lines.limit = limit;
  lines.lines_read = tessary::kPdfSkippedLines;  // the skipped lines are behind
  lines.text.swap(kept_text);
  for (const std::string& piece : pieces) tessary::keep_pdf_piece(&lines, piece);
  lines.text.swap(kept_text);

  std::string appended;
  std::int32_t kept = 0;
  bool dropped = false;
  for (const std::string& piece : pieces) {
    if (kept >= limit || dropped) continue;
    if (start + appended.size() + piece.size() > tessary::kPdfTextMax) {
      dropped = true;
      continue;
    }
    appended += piece;
    ++kept;
  }
  FUZZ_CHECK(kept_text.size() <= tessary::kPdfTextMax);
  FUZZ_CHECK(kept_text.compare(start, std::string::npos, appended) == 0);
  FUZZ_CHECK(lines.lines_kept == kept);
  FUZZ_CHECK(lines.truncated == dropped);
  FUZZ_CHECK(lines.lines_read == tessary::kPdfSkippedLines + pieces.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the read size: mostly the reader's own 49,998 bytes, sometimes a few
  // bytes, so over-long lines arrive as several pieces. Its top bit starts the kept text near its
  // bound, the second byte saying how near.
  const std::size_t piece_max = (data[0] & 0x40) != 0 ? 1 + (data[0] & 0x3F) : 49998;
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::size_t feed = rest.find('\n');
  const std::string limit_text = rest.substr(0, feed);
  const std::string output = feed == std::string::npos ? std::string() : rest.substr(feed + 1);
  const std::vector<std::string> pieces = fuzz::fgets_pieces(output, piece_max);

  const std::int32_t limit = tessary::parse_pdf_line_limit(limit_text);
  FUZZ_CHECK(limit == reference_limit(limit_text));
  if ((data[0] & 0x80) != 0) {
    check_bound(pieces, limit, std::size_t{data[1]} * 16);
    return 0;
  }

  tessary::PdfLines lines;
  lines.limit = limit;
  for (const std::string& piece : pieces) tessary::keep_pdf_piece(&lines, piece);

  // Every piece is counted; the first four are never kept, then at most `limit` of the rest.
  const std::size_t past_skipped = pieces.size() > 4 ? pieces.size() - 4 : 0;
  const std::size_t most = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  const std::size_t kept = past_skipped < most ? past_skipped : most;
  FUZZ_CHECK(lines.lines_read == pieces.size());
  FUZZ_CHECK(lines.lines_kept >= 0 && static_cast<std::size_t>(lines.lines_kept) == kept);
  FUZZ_CHECK(!lines.truncated);  // small inputs never reach the byte bound

  std::string expected;
  for (std::size_t i = 4; i < 4 + kept; ++i) expected += pieces[i];
  FUZZ_CHECK(lines.text == expected);
  FUZZ_CHECK(tessary::keep_pdf_lines(pieces, limit_text) == expected);
  return 0;
}
