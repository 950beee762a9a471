// Fuzzes the parsing of metaflac's output: the input is the tool's standard output, handed over
// in fgets-sized pieces as the command runner delivers them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "readers/wavegrab.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the read size: mostly the reader's own 49,998 bytes, sometimes a few
  // bytes, so over-long lines arrive as several pieces and shift the value positions.
  const std::size_t piece_max = data[0] < 0xC0 ? 49998 : 1 + (data[0] & 0x3F);
  const std::string output(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> pieces = fuzz::fgets_pieces(output, piece_max);

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

  const std::string values = length + " Minuten \n#Sample Rate:" + rate + "#Bits per Sample:" +
                             (pieces.size() > 3 ? pieces[3] : "") + "#Vendor Tag:" +
                             (pieces.size() > 2 ? pieces[2] : "") + "#Channels:" +
                             (pieces.size() > 4 ? pieces[4] : "");
  FUZZ_CHECK(text == tags + "#Track Laenge:" + values);
  return 0;
}
