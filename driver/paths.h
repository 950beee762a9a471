// Fixed locations of the program. Every other unit takes them from here.
#pragma once

namespace tessary {

/// The positional configuration file, read once per run.
constexpr const char* kConfigPath = "/etc/vq/config.cfg";

/// The error log that gains one line per handled fatal or terminating signal.
constexpr const char* kErrorLogPath = "/var/log/vq_error.log";

}  // namespace tessary
