// Fuzzes the parsing of metaflac's output: after two control bytes, the input is the tool's
// standard output, handed over in fgets-sized pieces as the command runner delivers them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "readers/wavegrab.h"

namespace {

/// Tag lines arriving when the tag block is a few KiB short of its bound: the block never grows
/// past the bound, keeps whole lines only (each followed by "# ") and, once a line is dropped,
/// drops every later one.
void check_bound(const std::vector<std::string>& pieces, std::size_t room) {
  // A block reused from run to run, so each run costs only the bytes it appends.
  static std::string block = [] {
    std::string text;
    text.reserve(tessary::kFlacTagBlockMax);
    return text;
  }();
  const std::size_t start = tessary::kFlacTagBlockMax - room;
  block.resize(start, 'x');

  tessary::FlacOutput out;
  out.lines = 5;  // the five values have arrived; every piece now is a tag line
  out.tag_block.swap(block);
  for (const std::string& piece : pieces) tessary::add_flac_piece(&out, piece);
  out.tag_block.swap(block);

  std::string appended;
  bool dropped = false;
  for (const std::string& piece : pieces) {
    if (!dropped && start + appended.size() + piece.size() + 2 <= tessary::kFlacTagBlockMax) {
      appended += piece + "# ";
    } else {
      dropped = true;
    }
  }
  FUZZ_CHECK(block.size() <= tessary::kFlacTagBlockMax);
  FUZZ_CHECK(block.compare(start, std::string::npos, appended) == 0);
  FUZZ_CHECK(out.tags_truncated == dropped);
  FUZZ_CHECK(out.lines == 5 + pieces.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the read size: mostly the reader's own 49,998 bytes, sometimes a few
  // bytes, so over-long lines arrive as several pieces and shift the value positions. Its top
  // bit starts the tag block near its bound, the second byte saying how near.
  const std::size_t piece_max = (data[0] & 0x40) != 0 ? 1 + (data[0] & 0x3F) : 49998;
  const std::string output(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::vector<std::string> pieces = fuzz::fgets_pieces(output, piece_max);
  if ((data[0] & 0x80) != 0) {
    check_bound(pieces, std::size_t{data[1]} * 16);
    return 0;
  }

  const std::string text = tessary::build_flac_text(pieces);

  tessary::FlacOutput out;
  for (const std::string& piece : pieces) tessary::add_flac_piece(&out, piece);
  FUZZ_CHECK(out.lines == pieces.size());
  FUZZ_CHECK(!out.tags_truncated);  // small inputs never reach the tag bound
  FUZZ_CHECK(tessary::assemble_flac_text(out) == text);

  // The tag block: every piece from the sixth on, each followed by "# ", in order.
  std::string tags;
  for (std::size_t i = 5; i < pieces.size(); ++i) tags += pieces[i] + "# ";
  FUZZ_CHECK(out.tag_block == tags);
  FUZZ_CHECK(fuzz::starts_with(text, tags + "#Track Laenge:"));

  // The length: samples / rate / 60 as a default stream writes a double (printf's %g).
  const std::string samples = pieces.size() > 0 ? pieces[0] : std::string();
  const std::string rate = pieces.size() > 1 ? pieces[1] : std::string();
  const double minutes = std::strtod(samples.c_str(), nullptr) / std::strtod(rate.c_str(), nullptr) / 60.0;
  char expected_length[64];
  std::snprintf(expected_length, sizeof expected_length, "%g", minutes);
  const std::string length = tessary::format_flac_minutes(samples, rate);
  FUZZ_CHECK(length == expected_length);
  FUZZ_CHECK(length.size() <= 13);  // "-1.23457e+308" is the longest
  FUZZ_CHECK(length.find('\n') == std::string::npos);

  // Then the values in the order rate, bits, vendor, channels, each right after its label.
  const std::string values = length + " Minuten \n#Sample Rate:" + rate + "#Bits per Sample:" +
                             (pieces.size() > 3 ? pieces[3] : "") + "#Vendor Tag:" +
                             (pieces.size() > 2 ? pieces[2] : "") + "#Channels:" +
                             (pieces.size() > 4 ? pieces[4] : "");
  FUZZ_CHECK(text == tags + "#Track Laenge:" + values);
  return 0;
}
