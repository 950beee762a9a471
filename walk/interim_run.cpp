#include "walk/interim_run.h"

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
#include "driver/record.h"
#include "extract/dispatcher.h"

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
  std::vector<std::string> config = setup.config;
  crash_log_arm(given_path.c_str(), given_path.size());
  std::string path = given_path;
  std::string file_name = file_name_of(path);
  std::string extension = extension_of(path);
  FileFacts facts;
  if (!collect_file_facts(path, &facts)) {
    std::fprintf(stderr, "tessary: cannot stat %s: %s\n", path.c_str(), std::strerror(errno));
    return RunEnd::kStatFailed;
  }
  std::string content;
  read_content(extension, file_name, path, content, facts.mime_type, facts.description, config[2], config[3],
               config[4], config[5], config[6], config[7], config[8], config[16], config[17]);
  std::string digest;
  if (switch_on(config[9]) && S_ISREG(facts.status.st_mode)) {
    hash_wert(path, digest);
  } else {
    digest = kNoDigest;
  }
  const std::string stamp = build_record_stamp();
  restore_file_times(path, facts);
  if (!deliver(config, path, file_name, facts, digest, content, stamp)) return RunEnd::kNotDelivered;
  return RunEnd::kDelivered;
}

}  // namespace tessary
