// The content dispatcher: renders the content of the one file of a run as text.
#pragma once

#include <string>

/// Chooses at most one way of reading by the MIME type and the switches (a switch is on only
/// when it is exactly "true") and leaves the rendered text in `content` (emptied first).
/// Lowercases `extension` in place. Fills the hand-over slots before calling a reader.
/// A tool that cannot be started is reported ("open failed: reason") and the function returns
/// with what was gathered so far. Returns a copy of the content.
std::string read_content(std::string& extension, std::string& file_name, std::string& path,
                         std::string& content, std::string& mime_type, std::string& description,
                         std::string word_switch, std::string spreadsheet_switch, std::string line_limit,
                         std::string buffer_size, std::string executable_switch,
                         std::string windows_program, std::string work_directory, std::string media_switch,
                         std::string pdf_switch);
