// The command line of tessary-walk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessary {

/// Everything the command line sets.
struct WalkOptions {
  std::vector<std::string> paths;     ///< PATH operands, in order
  std::string from;                   ///< --from FILE ("-": standard input); empty: none
  bool null_separated = false;        ///< -0: names from --from end at NUL, failures written NUL-ended
  std::vector<std::string> excludes;  ///< --exclude GLOB, matched against the whole path
  bool one_file_system = false;       ///< -x
  int jobs = 0;                       ///< -j; 0 until resolved to the number of usable cores
  int time_limit_seconds = 330;       ///< --time-limit
  std::uint64_t memory_limit = std::uint64_t{1} << 30;  ///< --memory-limit, bytes of the child's own
  std::string state;                  ///< --state; empty until resolved to the default
  bool full = false;                  ///< --full
  bool retry_failed = false;          ///< --retry-failed
  std::string failures;               ///< --failures FILE; empty: none
  bool quiet = false;                 ///< -q
  bool help = false;                  ///< --help
  bool version = false;               ///< --version
};

/// Parses argv. Returns false with a message (without program name or line end) in `error` on a
/// usage error: an unknown option, a missing or malformed value, or no PATH and no --from.
bool parse_walk_options(int argc, char** argv, WalkOptions* options, std::string* error);


/// The default state file: /var/lib/tessary/walk.db for root, else
/// ${XDG_STATE_HOME:-$HOME/.local/state}/tessary/walk.db. Empty when neither XDG_STATE_HOME nor
/// HOME is set (absolute paths only count) for a user other than root.
std::string default_state_path();

/// Number of cores this process may run on (at least 1).
int usable_cores();

/// The man-page-style text of --help.
const char* walk_help_text();

}  // namespace tessary
