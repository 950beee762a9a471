// PDF text reader.
//
// pagegrab() runs Ghostscript's text device on the file, drops the first four lines of the
// tool's output (Ghostscript's own banner and messages), keeps up to the configured number of
// the following lines and leaves them in the hand-over slot `pdf_content`. The line keeping is
// done by pure functions (parse_pdf_line_limit, keep_pdf_piece, keep_pdf_lines), so tests and
// fuzzers can drive it without the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessary {

/// Output lines dropped before any is kept.
constexpr unsigned long long kPdfSkippedLines = 4;

/// Most bytes the kept text holds (16 MiB), whatever the line limit: a huge limit and a tool that
/// floods cannot exhaust memory. A line that would take the text past this is dropped together
/// with every later line (whole lines only); the output is still read to its end.
constexpr std::size_t kPdfTextMax = std::size_t{16} << 20;

/// The line limit from its configuration text: strtol in base 10 (leading blanks and one sign
/// allowed, stops at the first non-digit, no digits give 0), then brought into the 32-bit signed
/// range by clamping: a value above 2147483647 (strtol itself clamps at LONG_MAX) counts as
/// 2147483647, one below -2147483648 as -2147483648. A limit of 0 or less keeps nothing.
std::int32_t parse_pdf_line_limit(const std::string& text);

/// State of the line keeping.
struct PdfLines {
  std::int32_t limit = 0;
  unsigned long long lines_read = 0;
  std::int32_t lines_kept = 0;
  std::string text;        ///< the kept lines, joined as they came
  bool truncated = false;  ///< a line was dropped for kPdfTextMax
};

/// Takes one piece of output (one fgets-sized read, already cut at its first NUL): counts it,
/// and keeps it when more than kPdfSkippedLines pieces have been read and fewer than the limit
/// are kept (and the byte bound allows).
void keep_pdf_piece(PdfLines* lines, const std::string& piece);

/// The kept text for a list of output pieces and a limit text.
std::string keep_pdf_lines(const std::vector<std::string>& pieces, const std::string& limit_text);

/// The argument vector gs is started with for `path` (the path is the last argument).
std::vector<std::string> gs_argv(const std::string& path);

/// pagegrab() with a chosen time limit for the tool, after which its process group is ended and
/// what it wrote counts. When the tool cannot be started at all, reports "open failed" and ends
/// the process with status 0.
void run_pagegrab(int time_limit_seconds);

}  // namespace tessary

/// Runs Ghostscript's text device on the file named by `pfad_uebergabe_pdf`, drops the first
/// four output lines, keeps up to `pagegrab_max_lines` of the rest and replaces `pdf_content`
/// with them. The output is always read to its end; the tool is ended after
/// kReaderTimeLimitSeconds, and what it wrote before counts. When the tool cannot be started at
/// all (no pipe, no process), reports "open failed" and ends the process with status 0.
void pagegrab();
