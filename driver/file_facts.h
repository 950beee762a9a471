// The facts of the indexed file and the restoration of its times.
#pragma once

#include <sys/stat.h>
#include <ctime>
#include <string>

namespace tessary {

struct FileFacts {
  struct stat status {};
  std::string mime_type;
  std::string description;
  std::string access_time;        ///< "%Y-%m-%d %H:%M:%S", local time
  std::string modification_time;  ///< same form
  std::string change_time;        ///< ctime() form without its line end
  std::string size;               ///< decimal byte count
  timespec saved_access{};
  timespec saved_modification{};
};

/// Text of libmagic's description when it finds none.
constexpr const char* kNoDescription = "File Endcoding Detection Problem";

/// Collects the facts of `path`. Returns false with errno set when `stat` fails (nothing else is
/// then collected). Failures of libmagic's set-up or MIME lookup are assertions that abort.
bool collect_file_facts(const std::string& path, FileFacts* facts);

/// "%Y-%m-%d %H:%M:%S" of `seconds` in local time, trailing blanks and line ends removed.
std::string local_time_text(time_t seconds);

/// ctime() of `seconds` without its trailing line end.
std::string change_time_text(time_t seconds);

/// Removes every trailing blank, line feed, carriage return and tab.
void trim_trailing_space(std::string* text);

/// Puts the saved access and modification times of `path` back, to the nanosecond.
/// Failures are ignored.
void restore_file_times(const std::string& path, const FileFacts& facts);

}  // namespace tessary
