#include "extract/dispatcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "process/command.h"
#include "process/run_state.h"
#include "process/text.h"
#include "extract/office.h"
#include "extract/plain_text.h"
#include "readers/slots.h"
#include "readers/pagegrab.h"
#include "readers/tunegrab.h"
#include "readers/wavegrab.h"

namespace tessary {

namespace {

/// Runs one libreoffice command (arguments after the program name) with a user profile that no
/// concurrent run uses. False only when the tool could not be started (no pipe, no process).
bool run_office(const std::vector<std::string>& args, const PieceSink& sink) {
  OfficeProfile profile;
  bool have_profile = acquire_office_profile(&profile);
  Command cmd;
  cmd.argv.push_back("libreoffice");
  std::string scratch;
  if (have_profile) {
    cmd.argv.push_back(office_profile_argument(profile));
    // libreoffice keeps a working directory in TMPDIR and removes it only when it ends by
    // itself: one ended at its time limit or by a signal would leave it in /tmp for good. It
    // works inside the profile instead, in a directory emptied before and after each use (the
    // profile's lock makes it ours), so what a killed conversion left goes with the next one.
    scratch = profile.dir + "/tmp";
    remove_tree(scratch);
    if (mkdir(scratch.c_str(), 0700) == 0) {
      cmd.env.push_back("TMPDIR=" + scratch);
    } else {
      scratch.clear();
    }
  }
  cmd.argv.insert(cmd.argv.end(), args.begin(), args.end());
  bool started = run_command(cmd, sink);
  int saved = errno;
  if (!scratch.empty()) remove_tree(scratch);
  if (have_profile) release_office_profile(&profile);
  errno = saved;
  return started;
}

/// Word text: the first six reads of `libreoffice --cat`, as they come.
bool read_word_text(const std::string& path, std::string* content) {
  return run_office({"--cat", "--headless", path_argument(path)}, append_pieces(content, kOfficeReadLimit, 0));
}

/// Removes the conversion's private directory on every way out of the spreadsheet steps.
/// The directory is also named to the run state while it exists, so that a run ended by a
/// signal removes it too.
struct PrivateDirectory {
  std::string path;
  ~PrivateDirectory() {
    if (path.empty()) return;
    remove_tree(path);
    run_state_set_private_directory(nullptr);
  }
};

/// Spreadsheet: convert to csv in a directory of this run's own, append six reads of the csv,
/// remove it. False only when a tool could not be started.
bool read_spreadsheet(const std::string& path, const std::string& file_name, const std::string& extension,
                      const std::string& work_directory, std::string* content) {
  std::string csv_name;
  if (!csv_name_for(file_name, extension, &csv_name)) return true;
  PrivateDirectory dir;
  if (!make_private_directory(work_directory, &dir.path)) {
    // Nowhere to convert to: the converter would have had nowhere to write either.
    std::perror(("tessary: cannot make a directory in " + work_directory).c_str());
    return true;
  }
  run_state_set_private_directory(dir.path.c_str());
  // The read and removal name the file the way the work directory is written: with its "/"
  // when it has one; without it they name a file beside the directory, which does not exist.
  bool slash = !work_directory.empty() && work_directory.back() == '/';
  const std::string prefix = dir.path + (slash ? "/" : "");
  const std::string csv_path = prefix + csv_name;

  if (!run_office({"--convert-to", "csv", "--infilter=csv:44,34,76", path_argument(path), "--outdir",
                   path_argument(prefix)},
                  drop_pieces()))
    return false;
  if (!run_command(Command{{"cat", path_argument(csv_path)}, {}, kConverterTimeLimitSeconds},
                   append_pieces(content, kOfficeReadLimit, 0)))
    return false;
  return run_command(Command{{"rm", "-fr", path_argument(csv_path)}, {}, kConverterTimeLimitSeconds}, drop_pieces());
}

/// Windows executable: the configured program under wine, its output lowercased piece by piece.
bool read_executable(const std::string& path, const std::string& windows_program, std::string* content) {
  return run_command(Command{{"wine", windows_program, path}, {kWineDebug}, kConverterTimeLimitSeconds},
                     keep_executable_output(content));
}

}  // namespace

PieceSink keep_executable_output(std::string* content) {
  std::size_t kept = 0;
  return [content, kept](const std::string& piece) mutable {
    std::string lower = piece;
    lowercase_ascii(&lower);
    const std::size_t take = std::min(lower.size(), kMaxExecutableOutput - kept);
    content->append(lower, 0, take);
    kept += take;
    return true;  // read to the end
  };
}

bool csv_name_for(const std::string& file_name, const std::string& extension, std::string* csv_name) {
  std::size_t cut = extension == "xls" ? 3 : 4;
  if (file_name.size() < cut) return false;
  *csv_name = file_name.substr(0, file_name.size() - cut) + "csv";
  return true;
}

}  // namespace tessary

std::string read_content(std::string& extension, std::string& file_name, std::string& path,
                         std::string& content, std::string& mime_type, std::string& description,
                         std::string word_switch, std::string spreadsheet_switch, std::string line_limit,
                         std::string buffer_size, std::string executable_switch,
                         std::string windows_program, std::string work_directory, std::string media_switch,
                         std::string pdf_switch) {
  using namespace tessary;
  lowercase_ascii(&extension);
  content.clear();

  if (mime_type == "text/plain") read_plain_text(path, content, description, line_limit, buffer_size);

  if (switch_on(word_switch) && (mime_type == "application/msword" ||
                             mime_type == "application/vnd.openxmlformats-officedocument.wordprocessingml.document")) {
    if (!read_word_text(path, &content)) {
      report_open_failed();
      return std::string();
    }
  }

  if (switch_on(spreadsheet_switch) &&
      (mime_type == "application/vnd.ms-excel" ||
       mime_type == "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")) {
    if (!read_spreadsheet(path, file_name, extension, work_directory, &content)) {
      report_open_failed();
      return std::string();
    }
  }

  // libmagic names a bare DOS program "application/x-dosexec" and a Windows PE program or DLL
  // "application/vnd.microsoft.portable-executable"; both go to wine.
  if (switch_on(executable_switch) &&
      (mime_type == "application/x-dosexec" || mime_type == "application/vnd.microsoft.portable-executable")) {
    if (!read_executable(path, windows_program, &content)) {
      report_open_failed();
      return std::string();
    }
  }

  if (switch_on(media_switch)) {
    if (mime_type == "audio/mpeg") {
      pfad_fuer_mp3 = path;
      mp3_tags_content.clear();
      tunegrab();
      content += mp3_tags_content;
    }
    if (mime_type == "audio/flac") {
      pfad_uebergabe_flac = path;
      flac_tags_content.clear();
      wavegrab();
      content += flac_tags_content;
    }
  }

  if (switch_on(pdf_switch) && mime_type == "application/pdf") {
    pfad_uebergabe_pdf = path;
    pdf_content.clear();
    pagegrab_max_lines = line_limit;
    pagegrab();
    content += pdf_content;
  }

  return content;
}
