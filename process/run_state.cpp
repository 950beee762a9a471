#include "process/run_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessary {
namespace {

// Written by the run between steps, read by a handler that may interrupt any of them: each
// field becomes visible through its atomic flag only once it is complete.
std::atomic<pid_t> g_child_group{0};

char g_times_path[kRunStatePathMax];
timespec g_times[2];
std::atomic<bool> g_times_set{false};

char g_private_dir[kRunStatePathMax];
std::atomic<bool> g_private_dir_set{false};

std::atomic<int> g_silent_status{0};

bool copy_path(char* out, const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= kRunStatePathMax) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

/// Waits for the tool's leader to end after SIGKILL, at most about two seconds, so that nothing
/// of it writes into the private directory while it is removed. Async-signal-safe.
void wait_for_leader(pid_t leader) {
  for (int i = 0; i < 200; ++i) {
    int status = 0;
    const pid_t got = waitpid(leader, &status, WNOHANG);
    if (got == leader || (got < 0 && errno != EINTR)) return;
    timespec tick{0, 10 * 1000 * 1000};
    nanosleep(&tick, nullptr);
  }
}

/// Removes everything inside the directory open as `dir_fd`, at most `depth` levels deep, with
/// raw directory reads (no allocation). Async-signal-safe.
void remove_contents(int dir_fd, int depth) {
  alignas(8) char buffer[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir_fd, buffer, sizeof buffer);
    if (got <= 0) return;
    for (long offset = 0; offset < got;) {
      struct Entry {
        ino64_t inode;
        off64_t next;
        unsigned short length;
        unsigned char type;
        char name[1];
      };
      const Entry* entry = reinterpret_cast<const Entry*>(buffer + offset);
      offset += entry->length;
      const char* name = entry->name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (unlinkat(dir_fd, name, 0) == 0) continue;
      if (depth == 0) continue;
      const int child = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) continue;
      remove_contents(child, depth - 1);
      close(child);
      unlinkat(dir_fd, name, AT_REMOVEDIR);
    }
  }
}

}  // namespace

void run_state_set_child_group(pid_t group) { g_child_group = group; }

pid_t run_state_child_group() { return g_child_group.load(); }

void run_state_set_file_times(const char* path, const timespec& access, const timespec& modification) {
  g_times_set = false;
  if (!copy_path(g_times_path, path)) return;
  g_times[0] = access;
  g_times[1] = modification;
  g_times_set = true;
}

void run_state_clear_file_times() { g_times_set = false; }

void run_state_set_private_directory(const char* path) {
  g_private_dir_set = false;
  if (path != nullptr && copy_path(g_private_dir, path)) g_private_dir_set = true;
}

void run_state_clean_up() {
  const int saved_errno = errno;
  const pid_t group = g_child_group.load();
  if (group > 0) {
    kill(-group, SIGKILL);
    wait_for_leader(group);
    g_child_group = 0;
  }
  if (g_private_dir_set.load()) {
    // A killed converter may have been creating a file as it died: a second pass takes that too.
    for (int pass = 0; pass < 2; ++pass) {
      const int dir = open(g_private_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (dir < 0) break;
      remove_contents(dir, 4);
      close(dir);
      if (rmdir(g_private_dir) == 0) break;
    }
    g_private_dir_set = false;
  }
  // Last, so that nothing done above (libmagic, a converter) reads the file afterwards.
  if (g_times_set.load()) utimensat(AT_FDCWD, g_times_path, g_times, 0);
  errno = saved_errno;
}

void run_state_set_silent_exit_status(int status) { g_silent_status = status; }

void end_run_silently() {
  run_state_clean_up();
  std::fflush(nullptr);
  std::exit(g_silent_status.load());
}

}  // namespace tessary
