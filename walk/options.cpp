#include "walk/options.h"

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "process/text.h"

namespace tessary {
namespace {

bool parse_int(const char* text, long low, long high, int* out) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

enum LongOnly { kFrom = 256, kExclude, kTimeLimit, kMemoryLimit, kState, kFull, kRetryFailed, kFailures, kHelp, kVersion };

}  // namespace


bool parse_walk_options(int argc, char** argv, WalkOptions* options, std::string* error) {
  static const option kLong[] = {
      {"from", required_argument, nullptr, kFrom},
      {"null", no_argument, nullptr, '0'},
      {"exclude", required_argument, nullptr, kExclude},
      {"one-file-system", no_argument, nullptr, 'x'},
      {"jobs", required_argument, nullptr, 'j'},
      {"time-limit", required_argument, nullptr, kTimeLimit},
      {"memory-limit", required_argument, nullptr, kMemoryLimit},
      {"state", required_argument, nullptr, kState},
      {"full", no_argument, nullptr, kFull},
      {"retry-failed", no_argument, nullptr, kRetryFailed},
      {"failures", required_argument, nullptr, kFailures},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 1;
  for (;;) {
    int index = 0;
    const int c = getopt_long(argc, argv, "0xj:q", kLong, &index);
    if (c == -1) break;
    switch (c) {
      case kFrom: options->from = optarg; break;
      case '0': options->null_separated = true; break;
      case kExclude: options->excludes.push_back(optarg); break;
      case 'x': options->one_file_system = true; break;
      case 'j':
        if (!parse_int(optarg, 1, 1024, &options->jobs)) {
          *error = "invalid number of jobs '" + std::string(optarg) + "' (1 to 1024)";
          return false;
        }
        break;
      case kTimeLimit:
        if (!parse_int(optarg, 1, 30 * 86400, &options->time_limit_seconds)) {
          *error = "invalid time limit '" + std::string(optarg) + "' (whole seconds, at least 1)";
          return false;
        }
        break;
      case kMemoryLimit:
        if (!parse_byte_size(optarg, &options->memory_limit)) {
          *error = "invalid memory limit '" + std::string(optarg) + "' (bytes, or a number with K, M, G or T)";
          return false;
        }
        break;
      case kState:
        if (*optarg == '\0') {
          *error = "empty state file name";
          return false;
        }
        options->state = optarg;
        break;
      case kFull: options->full = true; break;
      case kRetryFailed: options->retry_failed = true; break;
      case kFailures: options->failures = optarg; break;
      case 'q': options->quiet = true; break;
      case kHelp: options->help = true; return true;
      case kVersion: options->version = true; return true;
      case ':':
        *error = "option '" + std::string(argv[optind - 1]) + "' needs a value";
        return false;
      default:
        if (optopt != 0 && optopt < 256 && argv[optind - 1][1] != '-')
          *error = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
        else
          *error = "unknown option '" + std::string(argv[optind - 1]) + "'";
        // getopt_long reports a missing value of a long option as '?' too.
        for (const option* o = kLong; o->name != nullptr; ++o) {
          const std::string given = argv[optind - 1];
          if (o->has_arg == required_argument && given == "--" + std::string(o->name)) {
            *error = "option '" + given + "' needs a value";
            break;
          }
        }
        if (optopt == 'j') *error = "option '-j' needs a value";
        return false;
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (argv[i][0] == '\0') {
      *error = "empty path operand";
      return false;
    }
    options->paths.push_back(argv[i]);
  }
  if (options->paths.empty() && options->from.empty()) {
    *error = "no PATH given (and no --from)";
    return false;
  }
  return true;
}

std::string default_state_path() {
  if (geteuid() == 0) return "/var/lib/tessary/walk.db";
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tessary/walk.db";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tessary/walk.db";
  return std::string();
}

int usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

const char* walk_help_text() {
  return R"(Usage: tessary-walk [OPTION]... PATH...
  or:  tessary-walk [OPTION]... --from FILE [PATH]...
Index every regular file under each PATH: deliver, for each, exactly the index record that
`tessary FILE` would deliver. Files are indexed one at a time by each of N worker processes forked
from one prepared parent; a file that crashes, hangs or exhausts memory costs only itself.

The configuration is read once from /etc/vq/config.cfg, as tessary reads it. Symbolic links below
a PATH are not followed; a PATH that is itself a link is followed once (as find -H). Named pipes,
devices and sockets are counted and never opened. A state file remembers what was delivered, so
unchanged files are skipped and an interrupted walk resumes where it stopped.

Options:
      --from FILE            also read paths from FILE (- for standard input), one a line
  -0, --null                 names read with --from end at NUL, and --failures writes NUL-ended
                               names (as find -print0 and xargs -0 use)
      --exclude GLOB         skip every path that matches GLOB, matched against the whole path as
                               find -path does ("*" also matches "/"); an excluded directory is
                               not entered; may be given more than once
  -x, --one-file-system      do not descend into directories on other file systems
  -j, --jobs N               index up to N files at once (default: the number of cores); office
                               conversions and Windows programs run at most one per two jobs
      --time-limit SECONDS   end a file's work, with every process it started, after SECONDS
                               (default 330); the file is remembered as failed
      --memory-limit SIZE    end a file's work when its process holds more than SIZE of its own
                               memory (default 1G; K, M, G, T are powers of 1024)
      --state FILE           the state file (default: /var/lib/tessary/walk.db for root, else
                               ${XDG_STATE_HOME:-$HOME/.local/state}/tessary/walk.db)
      --full                 index every file, changed or not
      --retry-failed         try again the files whose work crashed, timed out or ran out of
                               memory in an earlier walk (otherwise skipped until they change)
      --failures FILE        write the path of every file that failed, one a line
  -q, --quiet                no progress line and no summary; only errors
      --help                 display this help and exit
      --version              output version information and exit

A file is unchanged when its device, inode, size, and modification and status-change times (to
the nanosecond) equal those of the run that delivered its record. When the index server cannot be
reached at all the walk stops early and marks nothing. SIGINT and SIGTERM stop the walk in order:
no new file is started, running files are ended, the state is kept and the summary printed.

Exit status:
  0    every file was indexed or unchanged
  1    some files failed (or were skipped as failed before), a directory could not be read, the
       index server could not be reached, or the configuration cannot be read
  2    usage error, or the state file cannot be used (the message says which)
  130  stopped by SIGINT;  143  stopped by SIGTERM
)";
}

}  // namespace tessary
