// The facts of the indexed file and the restoration of its times.
#pragma once

#include <sys/stat.h>
#include <ctime>
#include <string>
#include <vector>

#include "record/record.h"

namespace tessary {

/// The record's facts, plus what the run needs besides them.
struct FileFacts : RecordFacts {
  struct stat status {};
  std::string mime_type;
  std::string description;
  timespec saved_access{};
  timespec saved_modification{};
};

/// Text of libmagic's description when it finds none.
constexpr const char* kNoDescription = "File Endcoding Detection Problem";

/// Opens and loads the libmagic cookie that collect_file_facts uses, once per process; a
/// process forked afterwards inherits it warm. Failures are assertions that abort.
void warm_file_facts();

/// Runs both lookups of collect_file_facts on each of `samples` (file contents) with the kept
/// cookie (warming it first when needed), so that libmagic compiles the expressions those kinds
/// of files need and touches its database now: a process forked afterwards inherits that work
/// instead of redoing it for every file. Nothing is kept of the results, and later lookups give
/// the same answers. Failures are ignored.
void prime_file_facts(const std::vector<std::string>& samples);

/// Collects the facts of `path` (warming the cookie first when needed) and records the file's
/// times in the run state, so that every later end of the run puts them back. Returns false with errno set when `stat` fails (nothing else is
/// then collected). Failures of libmagic's set-up or MIME lookup are assertions that abort.
bool collect_file_facts(const std::string& path, FileFacts* facts);

/// "%Y-%m-%d %H:%M:%S" of `seconds` in local time, trailing blanks and line ends removed.
std::string local_time_text(time_t seconds);

/// ctime() of `seconds` without its trailing line end.
std::string change_time_text(time_t seconds);

/// Removes every trailing blank, line feed, carriage return and tab.
void trim_trailing_space(std::string* text);

/// Puts the saved access and modification times of `path` back, to the nanosecond, and clears
/// them from the run state. Failures are ignored.
void restore_file_times(const std::string& path, const FileFacts& facts);

}  // namespace tessary
