// tessary PATH: indexes one file and sends its index record to the index server.
//
// Exit statuses: 0 when the run ends by its own handling (record sent, or one of the silent
// early ends: a handled signal, a file that cannot be opened for the digest, a reader tool that
// cannot be started); 1 when the configuration, the file's status or the delivery fails (with a
// message on stderr); 2 for a missing path argument.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/config.h"
#include "driver/crash_log.h"
#include "driver/delivery.h"
#include "driver/digest.h"
#include "driver/file_facts.h"
#include "driver/globals.h"
#include "driver/path_split.h"
#include "driver/paths.h"
#include "driver/record.h"
#include "extract/dispatcher.h"

int main(int argc, char** argv) {
  // Fatal and terminating signals are logged with the file's path from the very start.
  tessary::install_crash_handler();
  if (argc < 2) {
    std::fputs("usage: tessary PATH\n", stderr);
    return 2;
  }
  SIGSEGV_pfad_datei = argv[1];
  tessary::crash_log_arm(SIGSEGV_pfad_datei.c_str(), SIGSEGV_pfad_datei.size());

  std::vector<std::string> config;
  if (!read_config_file(config)) {
    std::fprintf(stderr, "tessary: cannot read %s: %s\n", tessary::kConfigPath, std::strerror(errno));
    return 1;
  }
  if (config.size() < tessary::kConfigValuesNeeded) {
    std::fprintf(stderr, "tessary: %s holds %zu values, %zu are needed\n", tessary::kConfigPath, config.size(),
                 tessary::kConfigValuesNeeded);
    return 1;
  }

  std::string path = argv[1];
  std::string file_name = tessary::file_name_of(path);
  std::string extension = tessary::extension_of(path);

  // Facts first: nothing has read the file yet, so the saved times are the file's own.
  tessary::FileFacts facts;
  if (!tessary::collect_file_facts(path, &facts)) {
    std::fprintf(stderr, "tessary: cannot stat %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }

  std::string content;
  read_content(extension, file_name, path, content, facts.mime_type, facts.description,
               /*word_switch=*/config[2], /*spreadsheet_switch=*/config[3], /*line_limit=*/config[4],
               /*buffer_size=*/config[5], /*executable_switch=*/config[6], /*windows_program=*/config[7],
               /*work_directory=*/config[8], /*media_switch=*/config[16], /*pdf_switch=*/config[17]);

  // Only regular files are digested: a named pipe or a device could be read without end.
  std::string digest;
  if (tessary::switch_on(config[9]) && S_ISREG(facts.status.st_mode)) {
    hash_wert(path, digest);
  } else {
    digest = kNoDigest;
  }

  const std::string stamp = tessary::build_record_stamp();
  tessary::restore_file_times(path, facts);
  if (!tessary::deliver(config, path, file_name, facts, digest, content, stamp)) return 1;

  signal(SIGCHLD, SIG_IGN);
  return 0;
}
