// What an ending run must still clean up, kept in plain memory that a signal handler can read.
//
// The run records here, as it goes, the tool process group that is running, the file whose
// access and modification times must be put back, and the private directory of a spreadsheet
// conversion. Every way the run can end early (a handled signal, or one of the silent ends
// through end_run_silently) calls run_state_clean_up, so no tool outlives the run, the file's
// times are as before the run, and no private directory is left behind.
#pragma once

#include <sys/types.h>

#include <ctime>

namespace tessary {

/// Longest path the run state keeps (longer ones are not restored or removed on early ends).
constexpr std::size_t kRunStatePathMax = 4096;

/// Names the process group of the tool that runs right now (0: none).
/// Async-signal-safe.
void run_state_set_child_group(pid_t group);

/// The process group of the tool that runs right now, or 0. Async-signal-safe.
pid_t run_state_child_group();

/// Records that `path`'s access and modification times must be put back to `access` and
/// `modification` on an early end (copies the path; ignored when it is longer than
/// kRunStatePathMax - 1).
void run_state_set_file_times(const char* path, const timespec& access, const timespec& modification);

/// Forgets the file times (they have been put back by the run itself).
void run_state_clear_file_times();

/// Records the private directory of a spreadsheet conversion, removed with its files on an early
/// end; nullptr forgets it (the conversion removed it itself).
void run_state_set_private_directory(const char* path);

/// Ends the running tool's group (SIGKILL, then waits a bounded time for its leader), puts the
/// file's times back and removes the private directory. Uses only async-signal-safe calls.
void run_state_clean_up();

/// Exit status of the silent ends (default 0).
void run_state_set_silent_exit_status(int status);

/// Ends the run without a record, by design (a file that cannot be opened for the digest, a
/// reader tool that cannot be started): cleans up as above, flushes stdio and ends the process
/// with the silent exit status.
[[noreturn]] void end_run_silently();

}  // namespace tessary
