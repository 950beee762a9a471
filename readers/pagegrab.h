// PDF text reader.
#pragma once

/// Runs Ghostscript's text device on the file named by `pfad_uebergabe_pdf`, drops the first
/// four output lines, keeps up to `pagegrab_max_lines` of the rest and replaces `pdf_content`
/// with them. When the tool cannot be started at all (no pipe, no process), reports
/// "open failed" and ends the process with status 0.
void pagegrab();
