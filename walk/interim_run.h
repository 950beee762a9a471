// Stand-in for the run sequence of driver/run.h until it is on this branch. Removed then.
#pragma once

#include <string>
#include <vector>

namespace tessary {

struct RunSetup {
  std::vector<std::string> config;
};

enum class RunEnd { kDelivered, kStatFailed, kNotDelivered };

bool prepare_run(RunSetup* setup);
RunEnd run_path(const RunSetup& setup, const std::string& path);
inline void warm_file_facts() {}
inline void crash_log_set_exit_status(int) {}
inline void run_state_set_silent_exit_status(int) {}
constexpr std::size_t kServerHost = 0;
constexpr std::size_t kServerPort = 1;

}  // namespace tessary
