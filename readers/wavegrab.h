// FLAC reader.
//
// wavegrab() runs `metaflac` on the file, takes the tool's first five output lines as stream
// facts (total samples, sample rate, vendor string, bits per sample, channels) by position and
// every later line as a tag, and leaves labelled text in the hand-over slot `flac_tags_content`.
// The parsing of the tool's output is done by pure functions (add_flac_piece, build_flac_text),
// so tests and fuzzers can drive it without the tool.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessary {

/// Most bytes the tag block keeps (16 MiB). A tag line that would take the block past this is
/// dropped together with every later line, so a file with huge tags cannot exhaust memory; the
/// tool's output is still read to its end. Whole lines only: the block always ends in "# ".
constexpr std::size_t kFlacTagBlockMax = std::size_t{16} << 20;

/// The tool's output as gathered so far.
struct FlacOutput {
  /// Output lines 1 to 5 as read (line feed included); empty until their line arrives.
  std::string value[5];
  /// Every line from the sixth on, each followed by "# ", up to kFlacTagBlockMax bytes.
  std::string tag_block;
  /// Lines counted so far (every piece counts, kept or not).
  unsigned long long lines = 0;
  /// True once a tag line was dropped for the bound.
  bool tags_truncated = false;
};

/// Takes one piece of output (one fgets-sized read, already cut at its first NUL) into `out`.
void add_flac_piece(FlacOutput* out, const std::string& piece);

/// The length text: strtod(samples) / strtod(rate) / 60.0 written by a default std::ostringstream
/// (six significant digits: 245 s give "4.08333", 240 s give "4"). A rate of 0 gives the
/// stream's text for infinity or not-a-number; nothing is guarded.
std::string format_flac_minutes(const std::string& samples_line, const std::string& rate_line);

/// The text: tag block, "#Track Laenge:", length, " Minuten \n#Sample Rate:", sample rate,
/// "#Bits per Sample:", bits, "#Vendor Tag:", vendor, "#Channels:", channels.
std::string assemble_flac_text(const FlacOutput& out);

/// The whole text for a list of output pieces (add_flac_piece over each, then assemble_flac_text).
std::string build_flac_text(const std::vector<std::string>& pieces);

/// The argument vector metaflac is started with for `path` (the path is the last argument).
std::vector<std::string> metaflac_argv(const std::string& path);

/// wavegrab() with a chosen time limit for the tool, after which its process group is ended and
/// what it wrote counts. When the tool cannot be started at all, reports "open failed" and ends
/// the process with status 0.
void run_wavegrab(int time_limit_seconds);

}  // namespace tessary

/// Runs `metaflac` on the file named by `pfad_uebergabe_flac` and replaces `flac_tags_content`
/// with the stream facts and tags as labelled lines. When the tool cannot be started at all
/// (no pipe, no process), reports "open failed" and ends the process with status 0. The tool
/// is ended after kReaderTimeLimitSeconds; what it wrote before counts.
void wavegrab();
