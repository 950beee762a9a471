#include "driver/file_facts.h"

#include <fcntl.h>
#include <magic.h>
#include <utime.h>

#include <cerrno>
#include <ctime>

#include "process/run_state.h"

// The C library's assertion report: "PROGRAM: FILE:LINE: FUNCTION: Assertion `EXPR' failed.",
// then abort(). Declared here because <assert.h> hides it in builds with NDEBUG.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));

namespace tessary {
namespace {

// The libmagic cookie of the run, kept open until the process ends.
magic_t g_kept_cookie = nullptr;

// The libmagic set-up steps report their failures as assertions of the program's main source
// unit, with the texts and lines that callers and their log filters know. They stay active in
// every build type, so they are raised directly rather than through assert().
[[noreturn]] void fail_check(const char* expression, unsigned line) {
  __assert_fail(expression, "tessary.cpp", line, "int main(int, char**)");
}

}  // namespace

void trim_trailing_space(std::string* text) {
  const std::size_t last = text->find_last_not_of(" \n\r\t");
  text->erase(last == std::string::npos ? 0 : last + 1);
}

std::string local_time_text(time_t seconds) {
  struct tm broken {};
  char buffer[100];
  if (localtime_r(&seconds, &broken) == nullptr) return std::string();
  const std::size_t length = strftime(buffer, 99, "%Y-%m-%d %H:%M:%S", &broken);
  std::string text(buffer, length);
  trim_trailing_space(&text);
  return text;
}

std::string change_time_text(time_t seconds) {
  char buffer[64];
  // ctime_r writes at most 26 bytes; it fails for years it cannot print.
  if (ctime_r(&seconds, buffer) == nullptr) return std::string();
  std::string text(buffer);
  trim_trailing_space(&text);
  return text;
}

void warm_file_facts() {
  if (g_kept_cookie != nullptr) return;
  magic_t magic = magic_open(MAGIC_MIME_TYPE);
  if (magic == nullptr) fail_check("(magic = magic_open(0x0000010)) != nullptr", 1264);
  if (magic_load(magic, nullptr) != 0) fail_check("magic_load(magic, nullptr) == 0", 1265);
  // The cookie is never closed: closing frees every compiled expression and the database one
  // by one (about 1.5 ms), work that the end of the process does at once. Kept reachable here
  // so that leak checkers see it as held, not lost.
  g_kept_cookie = magic;
}

void prime_file_facts(const std::vector<std::string>& samples) {
  warm_file_facts();
  for (const std::string& sample : samples) {
    magic_setflags(g_kept_cookie, MAGIC_MIME_TYPE);
    magic_buffer(g_kept_cookie, sample.data(), sample.size());
    magic_setflags(g_kept_cookie, MAGIC_CONTINUE);
    magic_buffer(g_kept_cookie, sample.data(), sample.size());
  }
}

bool collect_file_facts(const std::string& path, FileFacts* facts) {
  if (stat(path.c_str(), &facts->status) != 0) return false;
  // From here on libmagic and the readers touch the file: every way the run ends puts its
  // access and modification times back.
  run_state_set_file_times(path.c_str(), facts->status.st_atim, facts->status.st_mtim);

  // One cookie serves both lookups: the database is loaded once and the flags are switched
  // between the MIME type and the full description, which gives the same texts as two cookies.
  warm_file_facts();
  magic_t magic = g_kept_cookie;
  if (magic_setflags(magic, MAGIC_MIME_TYPE) != 0) fail_check("(magic = magic_open(0x0000010)) != nullptr", 1264);
  const char* mime = magic_file(magic, path.c_str());
  if (mime == nullptr) fail_check("(mime = magic_file(magic, filename.c_str())) != nullptr", 1272);
  facts->mime_type = mime;

  if (magic_setflags(magic, MAGIC_CONTINUE) != 0) fail_check("(magic = magic_open(0x0000020)) != nullptr", 1284);
  const char* description = magic_file(magic, path.c_str());
  facts->description = description != nullptr ? description : kNoDescription;

  facts->access_time = local_time_text(facts->status.st_atim.tv_sec);
  facts->saved_access = facts->status.st_atim;
  facts->modification_time = local_time_text(facts->status.st_mtim.tv_sec);
  facts->saved_modification = facts->status.st_mtim;
  facts->change_time = change_time_text(facts->status.st_ctim.tv_sec);
  facts->size = std::to_string(static_cast<long long>(facts->status.st_size));
  return true;
}

void restore_file_times(const std::string& path, const FileFacts& facts) {
  // Whole seconds first, then the sub-second parts that utime cannot express.
  struct utimbuf whole {};
  whole.actime = facts.saved_access.tv_sec;
  whole.modtime = facts.saved_modification.tv_sec;
  utime(path.c_str(), &whole);
  const timespec times[2] = {facts.saved_access, facts.saved_modification};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
  run_state_clear_file_times();
}

}  // namespace tessary
