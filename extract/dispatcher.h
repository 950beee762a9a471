// The content dispatcher: renders the content of the one file of a run as text.
//
// At most one way of reading runs, chosen by the MIME type and, except for plain text, by its
// switch: the plain-text reader, `libreoffice` for Word documents and spreadsheets, `wine` with
// the configured Windows program for Windows executables, or one of the reader units
// tunegrab(), wavegrab(), pagegrab() through the hand-over slots. Every tool is started from an
// argument vector through run_command, so no path ever meets a shell: libreoffice, cat, rm and
// wine with a 30-second limit, metaflac and gs (started by their readers) with 300 seconds.
#pragma once

#include <cstddef>
#include <string>

#include "process/command.h"

namespace tessary {

/// Reads kept of the Word text and of the csv text (each read at most 49,998 bytes).
constexpr std::size_t kOfficeReadLimit = 6;

/// Most bytes of an executable's output kept in the content; the rest is still read (so the
/// program is not stopped early by a full pipe) and dropped. The output has no read limit of
/// its own, and a program printing at full speed for 30 seconds would otherwise fill memory.
constexpr std::size_t kMaxExecutableOutput = 16u << 20;

/// The value of WINEDEBUG for the Windows program: wine's own diagnostics stay quiet.
constexpr const char* kWineDebug = "WINEDEBUG=fixme-all,err-all,warn+cursor,-all";

/// The sink for a Windows program's output: every piece lowercased and appended to `content`, at
/// most kMaxExecutableOutput bytes in all; the rest is read and dropped.
PieceSink keep_executable_output(std::string* content);

/// The csv file name of a spreadsheet: `file_name` with its last three characters replaced by
/// "csv" when `extension` (already lowercased) is "xls", else its last four. False when the
/// file name is shorter than the part to replace; the spreadsheet is then not converted.
bool csv_name_for(const std::string& file_name, const std::string& extension, std::string* csv_name);

}  // namespace tessary

/// Chooses at most one way of reading by the MIME type and the switches (a switch is on only
/// when it is exactly "true") and leaves the rendered text in `content` (emptied first).
/// Lowercases `extension` in place. Fills the hand-over slots before calling a reader.
///
/// Each libreoffice start gets a user profile of its own as its first argument
/// ("-env:UserInstallation=file:///..."), then exactly the arguments of its command. A
/// spreadsheet is converted into a private directory named by the work-directory text followed
/// by "tessary-" and six random characters; the csv file is read and removed there, and the
/// whole directory is removed afterwards.
///
/// A tool that cannot be started (no pipe, no process) is reported ("open failed: reason") and
/// the function returns an empty string at once; `content` keeps what was gathered so far.
/// Otherwise returns a copy of the content.
std::string read_content(std::string& extension, std::string& file_name, std::string& path,
                         std::string& content, std::string& mime_type, std::string& description,
                         std::string word_switch, std::string spreadsheet_switch, std::string line_limit,
                         std::string buffer_size, std::string executable_switch,
                         std::string windows_program, std::string work_directory, std::string media_switch,
                         std::string pdf_switch);
