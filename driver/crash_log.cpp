#include "driver/crash_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "driver/paths.h"
#include "process/run_state.h"

namespace tessary {
namespace {

// Everything the handler reads is prepared before it can run and never allocated in it.
std::atomic<const char*> g_path{nullptr};
std::atomic<std::size_t> g_path_length{0};
std::atomic<int> g_exit_status{0};

// Local time without localtime() (which takes a lock and may read files): the offset from UTC
// now, and the next change of that offset (daylight saving) with the offset after it.
std::atomic<long> g_offset_now{0};
std::atomic<long long> g_change_at{LLONG_MAX};
std::atomic<long> g_offset_after{0};

// A separate stack, so that a stack overflow can still be logged.
alignas(16) char g_alt_stack[64 * 1024];

long offset_at(time_t t) {
  struct tm broken {};
  if (localtime_r(&t, &broken) == nullptr) return 0;
  return broken.tm_gmtoff;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void civil_from_days(long long days, long long* year, unsigned* month, unsigned* day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<long long>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

char* put_number(char* out, long long value, int min_digits) {
  char digits[24];
  int n = 0;
  const bool negative = value < 0;
  unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < min_digits) digits[n++] = '0';
  if (negative) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  return out;
}

}  // namespace

std::size_t crash_stamp(time_t seconds, long micros, char* out) {
  const long offset = static_cast<long long>(seconds) >= g_change_at.load() ? g_offset_after.load()
                                                                              : g_offset_now.load();
  const long long local = static_cast<long long>(seconds) + offset;
  long long days = local / 86400;
  long long in_day = local % 86400;
  if (in_day < 0) {
    in_day += 86400;
    days -= 1;
  }
  long long year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, &year, &month, &day);
  char* p = out;
  p = put_number(p, day, 2);
  *p++ = '.';
  p = put_number(p, month, 2);
  *p++ = '.';
  p = put_number(p, year, 1);
  *p++ = ' ';
  p = put_number(p, in_day / 3600, 2);
  *p++ = ':';
  p = put_number(p, in_day / 60 % 60, 2);
  *p++ = ':';
  p = put_number(p, in_day % 60, 2);
  *p++ = '.';
  p = put_number(p, micros, 1);
  return static_cast<std::size_t>(p - out);
}

void install_crash_handler() {
  stack_t stack {};
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof g_alt_stack;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_handler = signalHandler;
  // Like signal(): restartable calls. Every one of the six signals is held off while the
  // handler runs, so a second signal cannot interleave a second line with the first.
  action.sa_flags = SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  const int kSignals[] = {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT};
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  for (int s : kSignals) sigaction(s, &action, nullptr);
}

void crash_log_prepare_time(time_t now) {
  const long offset = offset_at(now);
  g_offset_now = offset;
  // Find the next change of the UTC offset within a week, to the second, so that a run that
  // crosses a daylight-saving change still logs the right local time.
  const time_t horizon = now + 7 * 86400;
  const long later = offset_at(horizon);
  if (later != offset) {
    time_t low = now, high = horizon;
    while (high - low > 1) {
      const time_t mid = low + (high - low) / 2;
      (offset_at(mid) == offset ? low : high) = mid;
    }
    g_offset_after = offset_at(high);
    g_change_at = static_cast<long long>(high);
  } else {
    g_change_at = LLONG_MAX;
  }
}

void crash_log_arm(const char* path, std::size_t length) {
  crash_log_prepare_time(time(nullptr));
  g_path_length = length;
  g_path = path;
}

void crash_log_set_exit_status(int status) { g_exit_status = status; }

}  // namespace tessary

void signalHandler(int /*signal_number*/) {
  // Only async-signal-safe calls from here on: the signal may have landed inside malloc or stdio.
  // The running tool's group goes first, so that it stops working at once.
  const pid_t group = tessary::run_state_child_group();
  if (group > 0) kill(-group, SIGKILL);

  timespec first {};
  clock_gettime(CLOCK_REALTIME, &first);
  // The microseconds come from a second reading of the clock, as in the record stamp.
  timespec second {};
  clock_gettime(CLOCK_REALTIME, &second);
  char stamp[64];
  const std::size_t stamp_length = tessary::crash_stamp(first.tv_sec, second.tv_nsec / 1000, stamp);

  const char* path = tessary::g_path.load();
  const std::size_t path_length = path != nullptr ? tessary::g_path_length.load() : 0;
  const int fd = open(tessary::kErrorLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) {
    char separator[] = " # ";
    char newline[] = "\n";
    iovec parts[4] = {{stamp, stamp_length},
                      {separator, 3},
                      {const_cast<char*>(path != nullptr ? path : ""), path_length},
                      {newline, 1}};
    // One append carries the whole line; a short write is continued from where it stopped.
    std::size_t total = stamp_length + 3 + path_length + 1;
    std::size_t done = 0;
    int index = 0;
    while (done < total) {
      const ssize_t wrote = writev(fd, parts + index, 4 - index);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
      std::size_t left = static_cast<std::size_t>(wrote);
      while (index < 4 && left >= parts[index].iov_len) left -= parts[index++].iov_len;
      if (index < 4) {
        parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + left;
        parts[index].iov_len -= left;
      }
    }
    close(fd);
  }
  // Then the rest of the clean-up: the tool reaped, a private directory removed, the file's
  // times put back.
  tessary::run_state_clean_up();
  // The exit system call itself, as _exit makes it. Not _exit: a call to a function that does
  // not return makes AddressSanitizer builds look up the thread's stacks first, which allocates
  // and so hangs for ever when the signal landed inside the allocator.
  syscall(SYS_exit_group, tessary::g_exit_status.load());
}
