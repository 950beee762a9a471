#include "readers/wavegrab.h"

#include <cstdlib>
#include <sstream>

#include "process/command.h"
#include "process/run_state.h"
#include "readers/slots.h"

namespace tessary {

void add_flac_piece(FlacOutput* out, const std::string& piece) {
  const unsigned long long line = ++out->lines;
  if (line <= 5) {
    out->value[line - 1] = piece;
    return;
  }
  if (out->tags_truncated) return;
  if (out->tag_block.size() + piece.size() + 2 > kFlacTagBlockMax) {
    out->tags_truncated = true;
    return;
  }
  out->tag_block += piece;
  out->tag_block += "# ";
}

std::string format_flac_minutes(const std::string& samples_line, const std::string& rate_line) {
  const double minutes =
      std::strtod(samples_line.c_str(), nullptr) / std::strtod(rate_line.c_str(), nullptr) / 60.0;
  std::ostringstream stream;
  stream << minutes;
  return stream.str();
}

std::string assemble_flac_text(const FlacOutput& out) {
  const std::string& samples = out.value[0];
  const std::string& rate = out.value[1];
  const std::string& vendor = out.value[2];
  const std::string& bits = out.value[3];
  const std::string& channels = out.value[4];
  std::string text;
  text.reserve(out.tag_block.size() + 128 + rate.size() + vendor.size() + bits.size() +
               channels.size());
  text += out.tag_block;
  text += "#Track Laenge:";
  text += format_flac_minutes(samples, rate);
  text += " Minuten \n#Sample Rate:";
  text += rate;
  text += "#Bits per Sample:";
  text += bits;
  text += "#Vendor Tag:";
  text += vendor;
  text += "#Channels:";
  text += channels;
  return text;
}

std::string build_flac_text(const std::vector<std::string>& pieces) {
  FlacOutput out;
  for (const std::string& piece : pieces) add_flac_piece(&out, piece);
  return assemble_flac_text(out);
}

std::vector<std::string> metaflac_argv(const std::string& path) {
  // The options in this order make the tool print the five values in this order, one per line,
  // followed by one line per tag. The path goes through path_argument.
  return {"metaflac",         "--show-total-samples", "--show-sample-rate", "--show-vendor-tag",
          "--show-bps",       "--show-channels",      "--export-tags-to=-", path_argument(path)};
}

void run_wavegrab(int time_limit_seconds) {
  FlacOutput out;
  // The path goes to the tool as one argument without a shell, so quotes, "$(...)" or line feeds
  // in a file name are only ever part of the name.
  const Command cmd{metaflac_argv(pfad_uebergabe_flac), {}, time_limit_seconds};
  const bool started = run_command(cmd, [&out](const std::string& piece) {
    add_flac_piece(&out, piece);
    return true;  // always read to the end, so the tool is never cut off
  });
  if (!started) {
    report_open_failed();
    end_run_silently();
  }
  std::string text = assemble_flac_text(out);
  flac_tags_content.swap(text);
}

}  // namespace tessary

void wavegrab() { tessary::run_wavegrab(tessary::kReaderTimeLimitSeconds); }
