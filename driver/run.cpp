#include "driver/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/config.h"
#include "driver/crash_log.h"
#include "driver/delivery.h"
#include "driver/digest.h"
#include "driver/file_facts.h"
#include "driver/path_split.h"
#include "driver/paths.h"
#include "extract/dispatcher.h"
#include "record/record.h"

namespace tessary {

bool prepare_run(RunSetup* setup) {
  setup->config.clear();
  if (!read_config_file(setup->config)) {
    std::fprintf(stderr, "tessary: cannot read %s: %s\n", kConfigPath, std::strerror(errno));
    return false;
  }
  if (setup->config.size() < kConfigValuesNeeded) {
    std::fprintf(stderr, "tessary: %s holds %zu values, %zu are needed\n", kConfigPath, setup->config.size(),
                 kConfigValuesNeeded);
    return false;
  }
  return true;
}

RunEnd run_path(const RunSetup& setup, const std::string& given_path) {
  const std::vector<std::string>& config = setup.config;
  crash_log_arm(given_path.c_str(), given_path.size());
  std::string path = given_path;
  std::string file_name = file_name_of(path);
  std::string extension = extension_of(path);

  // Facts first: nothing has read the file yet, so the saved times are the file's own.
  FileFacts facts;
  if (!collect_file_facts(path, &facts)) {
    std::fprintf(stderr, "tessary: cannot stat %s: %s\n", path.c_str(), std::strerror(errno));
    return RunEnd::kStatFailed;
  }

  std::string content;
  read_content(extension, file_name, path, content, facts.mime_type, facts.description,
               /*word_switch=*/config[kWordSwitch], /*spreadsheet_switch=*/config[kSpreadsheetSwitch],
               /*line_limit=*/config[kLineLimit], /*buffer_size=*/config[kBufferSize],
               /*executable_switch=*/config[kExecutableSwitch], /*windows_program=*/config[kWindowsProgram],
               /*work_directory=*/config[kWorkDirectory], /*media_switch=*/config[kMediaSwitch],
               /*pdf_switch=*/config[kPdfSwitch]);

  // Only regular files are digested: a named pipe or a device could be read without end.
  std::string digest;
  if (switch_on(config[kDigestSwitch]) && S_ISREG(facts.status.st_mode)) {
    hash_wert(path, digest);
  } else {
    digest = kNoDigest;
  }

  const std::string stamp = build_record_stamp();
  restore_file_times(path, facts);
  if (!deliver(config[kServerHost], config[kServerPort], path, file_name, facts, digest, content, stamp))
    return RunEnd::kNotDelivered;
  return RunEnd::kDelivered;
}

}  // namespace tessary
