// Shared helpers of the tests: temporary directories, running processes, a TCP receiver on
// 127.0.0.1, and running the built program at its real fixed paths inside a private mount
// namespace (the host's /etc/vq and /var/log are never touched).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

namespace harness {

/// A fresh directory under /tmp, removed with everything in it when the object goes away.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  /// path + "/" + name
  std::string file(const std::string& name) const { return path + "/" + name; }
};

/// Writes `data` to `path` (created or truncated, mode 0644).
void write_file(const std::string& path, const std::string& data);
/// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string& path);
/// Writes an executable shell script.
void write_script(const std::string& path, const std::string& body);
/// True when `name` is found on PATH.
bool have_tool(const std::string& name);

struct ProcessResult {
  int status = -1;         ///< exit status, or 128 + signal number when killed
  bool timed_out = false;  ///< the process was killed after `timeout_s`
  std::string out;         ///< standard output
  std::string err;         ///< standard error
  double seconds = 0;      ///< wall time
};

/// Runs argv (argv[0] looked up on PATH) with `env` added to the environment, stdin from
/// /dev/null, waits at most `timeout_s` seconds (then kills its process group).
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {}, int timeout_s = 120);

/// Accepts connections on 127.0.0.1 (any free port) and keeps every connection's bytes.
class Receiver {
 public:
  Receiver();
  ~Receiver();
  int port() const { return port_; }
  /// Waits until `n` connections have ended (peer closed), at most `timeout_ms`; returns their data.
  std::vector<std::string> wait_connections(std::size_t n, int timeout_ms = 10000);
  /// Data of every connection that has ended so far.
  std::vector<std::string> connections();

 private:
  void loop();
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> done_;
};

/// The 18 configuration values with every switch on, a line limit of 1000, a conversion buffer
/// of 100000 bytes, the digest on, and the index server at 127.0.0.1:`port`.
std::vector<std::string> default_config(int port);

/// Configuration file text: one "key = value" line per value.
std::string config_text(const std::vector<std::string>& values);

/// One sandbox for runs of the built program: a configuration directory bound over /etc/vq and
/// a log directory bound over /var/log, inside a private mount namespace per run.
struct Sandbox {
  Sandbox();
  TempDir root;
  std::string etc_dir;  ///< bound over /etc/vq
  std::string log_dir;  ///< bound over /var/log
  /// Words placed before the program in the namespace (for example setpriv to drop root).
  std::vector<std::string> exec_prefix;
  /// Writes the configuration file from `values`.
  void set_config(const std::vector<std::string>& values);
  /// Writes the configuration file verbatim.
  void set_config_text(const std::string& text);
  /// The error log's content.
  std::string error_log() const;
  /// Runs the program with `args` (normally just the path) in the namespace, in working
  /// directory `cwd` (empty: the test's own), with `env` added.
  ProcessResult run(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}, int timeout_s = 180,
                    const std::string& cwd = "");
};

/// Path of the built program.
std::string tessary_binary();

/// The fields of an index record (a trailing "quit\r\n" is ignored): "#PFAD#" value and so on, by marker; "stamp" holds the stamp.
/// Empty when the record does not have the expected frame.
std::map<std::string, std::string> parse_record(const std::string& record);

/// Splits what one connection received into the record (up to and including its CR LF) and the
/// rest; the rest must be exactly "quit\r\n" for a complete delivery.
bool split_delivery(const std::string& data, std::string* record, std::string* rest);

/// Process ids of every process whose command line contains `needle` (excluding this process).
std::vector<pid_t> processes_matching(const std::string& needle);

/// Starts `argv` in the background (found on PATH, this process's environment): standard input
/// /dev/null, standard error appended to `log`, standard output too when `stdout_to_log`
/// (else /dev/null), in a process group of its own when `own_group`. Returns the pid, or -1
/// with `*error` (the reason) set. The caller ends and reaps it.
pid_t spawn_logged(const std::vector<std::string>& argv, const std::string& log, bool stdout_to_log, bool own_group,
                   std::string* error);

// ---------------------------------------------------------------------------------------------
// Helpers of the parallel, signal, hostile-input and tool-fault runs.

/// One process of the process table.
struct ProcessInfo {
  pid_t pid = 0;
  std::string name;          ///< /proc/PID/comm without its line feed
  std::string command_line;  ///< arguments joined by blanks
};

/// Every process but this one whose environment holds exactly `entry` ("NAME=value"). Runs given
/// a variable of their own are told apart this way from everything else on the machine, together
/// with every tool and daemon they start (those inherit the environment).
std::vector<ProcessInfo> processes_with_environment(const std::string& entry);

/// Waits until a process named "tessary" whose command line contains `needle` exists; returns
/// its pid, or 0 after `timeout_ms`.
pid_t find_program_process(const std::string& needle, int timeout_ms = 10000);

/// The names in `dir` other than "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> directory_entries(const std::string& dir);

/// A text as the record's content carries it: letters A-Z lowercased, line feeds and zero bytes
/// removed.
std::string record_content(const std::string& text);
/// A path as the record's "#PFAD#" carries it: A-Z lowercased, both quote kinds made blanks.
std::string record_path(const std::string& path);
/// The file name of `path` (after its last "/" or backslash) as "#DATEINAME#" carries it.
std::string record_file_name(const std::string& path);

/// MD5 of a file as 32 lowercase hex digits, from the md5sum tool; empty on failure.
std::string md5_of(const std::string& path);

/// A PDF made by Ghostscript's pdfwrite with one text line per entry of `lines` (each on a page
/// of its own after every third). Returns an error text, empty on success.
std::string make_pdf(const std::string& pdf, const std::vector<std::string>& lines);
/// What the record carries for `pdf`: the bare tool's text output, lines 5 to 4 + `line_limit`.
std::string pdf_record_text(const std::string& pdf, std::size_t line_limit);

/// Tags written into an MP3 file with TagLib (ID3v2).
struct Mp3Tags {
  std::string title, artist, album, comment, genre;  ///< UTF-8
  unsigned year = 0, track = 0;
};
/// Writes `tags` into `mp3`; false when TagLib cannot.
bool tag_mp3(const std::string& mp3, const Mp3Tags& tags);
/// What the record carries for an MP3 with these tags: the labels and values, with the audio
/// properties as TagLib reads them from the file.
std::string mp3_record_text(const std::string& mp3, const Mp3Tags& tags);
/// What the record carries for a FLAC file whose tags are `tags` ("NAME=value", in order): the
/// stream facts as the metaflac tool prints them, the length in decimal minutes.
std::string flac_record_text(const std::string& flac, const std::vector<std::string>& tags);

/// A stored zip holding "[Content_Types].xml", "_rels/.rels" and `part` (each "<x/>"): what
/// libmagic calls a Word document for "word/document.xml" and a spreadsheet for "xl/workbook.xml".
std::string minimal_ooxml(const std::string& part);

/// The peak resident set size in KiB that "/usr/bin/time -v" wrote into `err`; -1 when absent.
long max_rss_kib(const std::string& err);

}  // namespace harness
