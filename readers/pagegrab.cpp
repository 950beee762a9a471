#include "readers/pagegrab.h"

#include <cstdlib>
#include <limits>

#include "process/command.h"
#include "process/run_state.h"
#include "readers/slots.h"

namespace tessary {

std::int32_t parse_pdf_line_limit(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  // A plain narrowing would wrap 4294967297 round to 1; clamping keeps "very many" very many.
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

void keep_pdf_piece(PdfLines* lines, const std::string& piece) {
  ++lines->lines_read;
  if (lines->lines_read <= kPdfSkippedLines || lines->lines_kept >= lines->limit) return;
  if (lines->truncated) return;
  if (lines->text.size() + piece.size() > kPdfTextMax) {
    lines->truncated = true;
    return;
  }
  lines->text += piece;
  ++lines->lines_kept;
}

std::string keep_pdf_lines(const std::vector<std::string>& pieces, const std::string& limit_text) {
  PdfLines lines;
  lines.limit = parse_pdf_line_limit(limit_text);
  for (const std::string& piece : pieces) keep_pdf_piece(&lines, piece);
  return lines.text;
}

std::vector<std::string> gs_argv(const std::string& path) {
  // Ghostscript reads an argument that starts with "@" as a file of further arguments (whose
  // words may run PostScript), one that starts with "%" as a device ("%pipe%..." runs a shell
  // command, even in its safe mode) and one that starts with "-" as an option (path_argument).
  return {"gs", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-dTextFormat=3", "-sOutputFile=-",
          path_argument(path, "@%")};
}

void run_pagegrab(int time_limit_seconds) {
  PdfLines lines;
  lines.limit = parse_pdf_line_limit(pagegrab_max_lines);
  // The path goes to the tool as one argument without a shell, so quotes, "$(...)" or line feeds
  // in a file name are only ever part of the name.
  const Command cmd{gs_argv(pfad_uebergabe_pdf), {}, time_limit_seconds};
  const bool started = run_command(cmd, [&lines](const std::string& piece) {
    keep_pdf_piece(&lines, piece);
    return true;  // read to the end once the limit is reached, so the tool is never cut off
  });
  if (!started) {
    report_open_failed();
    end_run_silently();
  }
  pdf_content.swap(lines.text);
}

}  // namespace tessary

void pagegrab() { tessary::run_pagegrab(tessary::kReaderTimeLimitSeconds); }
