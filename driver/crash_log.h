// The crash log: one line in the error log per fatal or terminating signal.
#pragma once

#include <ctime>
#include <cstddef>

/// Handler for SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGTERM and SIGINT: appends
/// "DD.MM.YYYY HH:MM:SS.micro # PATH\n" to the error log, ends the running tool's group, puts the
/// file's times back, removes a spreadsheet's private directory (see process/run_state.h) and
/// ends the process with status 0 (or the one set by crash_log_set_exit_status).
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

namespace tessary {

/// The exit status with which the handler ends the process (default 0). A caller that must
/// tell a run ended by a signal from a finished one sets a status of its own.
void crash_log_set_exit_status(int status);

}  // namespace tessary
