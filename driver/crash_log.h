// The crash log: one line in the error log per fatal or terminating signal.
#pragma once

#include <ctime>
#include <cstddef>

/// Handler for SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGTERM and SIGINT: appends
/// "DD.MM.YYYY HH:MM:SS.micro # PATH\n" to the error log and ends the process with status 0.
/// Uses only async-signal-safe calls: it never allocates and never touches stdio.
void signalHandler(int signal_number);

namespace tessary {

/// Installs signalHandler for the six signals, in the fixed order.
void install_crash_handler();

/// Makes the crash handler name `path` (kept by pointer: it must live until the process ends)
/// and prepares the local-time conversion that the handler uses.
void crash_log_arm(const char* path, std::size_t length);

/// Prepares the local-time conversion of the crash handler for times from `now` on (the UTC
/// offset now and its next change within a week). crash_log_arm calls it with the current time.
void crash_log_prepare_time(time_t now);

/// Writes the stamp "DD.MM.YYYY HH:MM:SS.micro" for `seconds` (local time as prepared by
/// crash_log_arm) and `micros` into `out` (at least 40 bytes); returns its length.
/// Async-signal-safe.
std::size_t crash_stamp(time_t seconds, long micros, char* out);

}  // namespace tessary

#include <sys/types.h>

namespace tessary {

/// Names the process group of the tool that runs right now (0: none). The crash handler ends
/// that group before it ends the process, so no tool outlives a run ended by a signal.
void crash_log_set_child_group(pid_t group);

}  // namespace tessary
