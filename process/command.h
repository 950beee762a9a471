// The one way the program starts an external tool and reads its standard output.
//
// Tools are started from an argument vector with posix_spawnp: no shell ever sees a path or a
// program name, so every argument reaches the tool exactly as given. Output is handed over in
// the pieces that fgets with a size of 49999 would give.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tessary {

/// Longest piece one read delivers (fgets with a size of 49999 keeps one byte for its NUL).
constexpr std::size_t kPieceMax = 49998;

/// Time limit of the commands that the content dispatcher starts.
constexpr int kConverterTimeLimitSeconds = 30;

/// Time limit of the FLAC and PDF tools, generous because they have none of their own.
constexpr int kReaderTimeLimitSeconds = 300;

/// One command to run.
struct Command {
  /// argv[0] is looked up on PATH; every element reaches the tool as exactly one argument.
  std::vector<std::string> argv;
  /// "NAME=value" entries set in the tool's environment on top of the program's own.
  std::vector<std::string> env;
  /// After this many seconds the tool's whole process group is ended (SIGTERM, then SIGKILL).
  int time_limit_seconds = kConverterTimeLimitSeconds;
};

/// Receives one piece of output: at most kPieceMax bytes, ending after a line feed (unless the
/// limit or the end of output came first), cut at its first zero byte. Returns false to stop
/// reading; the tool is still waited for (within its time limit) and reaped.
using PieceSink = std::function<bool(const std::string& piece)>;

/// Runs `cmd` with stdin from /dev/null, stdout into a pipe read here, stderr inherited, in a
/// process group of its own with default signal dispositions and an empty signal mask. Feeds
/// every piece of its output to `sink` until the output ends, `sink` returns false or the time
/// limit passes. Always reaps the tool and ends whatever is left of its process group. When the
/// tool itself has ended but a process it started still holds the pipe open, that process gets
/// two more seconds to finish writing and is then ended with the rest of the group. On the time
/// limit the group gets SIGTERM, 1.5 seconds of grace, then SIGKILL; what was written before
/// still reaches the sink.
/// A tool that cannot be executed (missing, not executable) behaves as under a shell: a message
/// "NAME: reason" on stderr, no output, and true. Returns false with errno set only when the
/// pipe or the process cannot be created.
bool run_command(const Command& cmd, const PieceSink& sink);

/// Hands `output` to `sink` in exactly the pieces that run_command would give for a tool that
/// wrote these bytes, until the sink returns false.
void split_into_pieces(const std::string& output, const PieceSink& sink);

/// Convenience sinks.
/// Appends every piece to `out`, at most `max_pieces` pieces (0 means no limit), and at most
/// `max_bytes` bytes in all (0 means no limit; the rest of the output is read and dropped).
PieceSink append_pieces(std::string* out, std::size_t max_pieces, std::size_t max_bytes);
/// Reads the output to its end and drops it.
PieceSink drop_pieces();

/// The argument that names the file `path` to a tool that reads options from its arguments
/// (every tool that gets a path takes it through this function):
/// `path` itself, or "./" followed by `path` when it is relative and starts with "-" or with one
/// of `also_special` (characters the tool gives a meaning of its own, such as Ghostscript's "@"
/// and "%"). Either way the tool opens the same file and never takes the name for an option.
std::string path_argument(const std::string& path, const char* also_special = "");

/// Reports a failure to start a command the way the dispatcher and readers do:
/// "open failed: <reason>" on stderr (perror with the text "open failed").
void report_open_failed();

}  // namespace tessary
