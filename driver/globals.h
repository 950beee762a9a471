// Process-wide strings of the driver unit.
#pragma once

#include <string>

/// Path of the file being indexed, exactly as given on the command line. Written once by main
/// before the configuration is read; read only by the crash handler (through the copy that
/// crash_log_arm takes, so the handler never touches the string object itself).
extern std::string SIGSEGV_pfad_datei;
