// Hand-over slots: the process-wide strings through which the content dispatcher and the
// reader units exchange their input and results. All are empty at program start; the
// dispatcher fills the inputs right before it calls a reader and reads the result right after.
#pragma once

#include <string>

/// Path of the MP3 file for tunegrab(); written by the dispatcher.
extern std::string pfad_fuer_mp3;
/// Text of tunegrab(); emptied by the dispatcher before the call, replaced by the reader.
extern std::string mp3_tags_content;
/// Path of the FLAC file for wavegrab(); written by the dispatcher.
extern std::string pfad_uebergabe_flac;
/// Text of wavegrab(); emptied by the dispatcher before the call, replaced by the reader.
extern std::string flac_tags_content;
/// Path of the PDF file for pagegrab(); written by the dispatcher.
extern std::string pfad_uebergabe_pdf;
/// Text of pagegrab(); emptied by the dispatcher before the call, replaced by the reader.
extern std::string pdf_content;
/// Line limit for pagegrab(), the unparsed configuration text; written by the dispatcher.
extern std::string pagegrab_max_lines;
