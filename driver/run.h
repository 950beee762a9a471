// The run sequence for one path, reusable by every program that indexes files.
//
// `tessary PATH` prepares once and runs once; a program that indexes many files prepares once
// (configuration read, libmagic warmed) and runs each path in a process of its own forked
// from the prepared one, which inherits everything prepared.
#pragma once

#include <string>
#include <vector>

namespace tessary {

/// What every run reads before its path: the configuration values (see driver/config.h for
/// their positions; at least kConfigValuesNeeded of them).
struct RunSetup {
  std::vector<std::string> config;
};

/// How a run for one path ended when run_path returns. The other ends never return: a handled
/// signal ends the process through the crash handler (status 0, or crash_log_set_exit_status),
/// and the silent ends (a file that cannot be opened for the digest, a FLAC or PDF tool that
/// cannot be started at all) end it through end_run_silently (status 0, or
/// run_state_set_silent_exit_status). Every end after the facts were collected puts the file's
/// access and modification times back.
enum class RunEnd {
  kDelivered,     ///< the record and "quit\r\n" were sent
  kStatFailed,    ///< stat failed on the path; message on stderr, nothing else done
  kNotDelivered,  ///< lookup, connection or send failed; message on stderr naming host and port
};

/// Reads the configuration file into `setup`. Returns false after writing
/// "tessary: cannot read /etc/vq/config.cfg: reason" or "tessary: /etc/vq/config.cfg holds N
/// values, 18 are needed" on stderr.
bool prepare_run(RunSetup* setup);

/// The run for `path` after the configuration was read: arms the crash log with the path,
/// collects the facts, renders the content, digests it, puts the file's times back and delivers
/// the record. Call it in a process of its own: it may end the process (see RunEnd) and keeps
/// process-wide state of the run. `path` is kept by pointer for the crash log and must live
/// until the process ends.
RunEnd run_path(const RunSetup& setup, const std::string& path);

}  // namespace tessary
