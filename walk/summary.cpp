#include "walk/summary.h"

#include <cstdio>

namespace tessary {
namespace {

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string rate(std::uint64_t files, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", seconds > 0 ? static_cast<double>(files) / seconds : 0.0);
  return text;
}

}  // namespace

std::string format_summary(const WalkCounts& c, double seconds) {
  const std::string prefix = "tessary-walk: ";
  std::string text = prefix + "indexed " + number(c.indexed) + ", unchanged " + number(c.unchanged) + ", failed " +
                     number(c.failed()) + " (crashed " + number(c.crashed) + ", timed out " + number(c.timed_out) +
                     ", memory " + number(c.memory) + ", unreadable " + number(c.unreadable) +
                     ", not delivered " + number(c.not_delivered) + ")";
  if (c.interrupted != 0) text += ", interrupted " + number(c.interrupted);
  text += "\n" + prefix + "skipped as failed before " + number(c.skipped_poison) + ", excluded " +
          number(c.excluded) + ", special files " + number(c.special) + "\n";
  char wall[64];
  std::snprintf(wall, sizeof wall, "%.2f s, ", seconds);
  text += prefix + wall + rate(c.done(), seconds) + " files/s\n";
  return text;
}

std::string format_progress(const WalkCounts& c, double seconds, bool counted, std::uint64_t total) {
  if (total < c.found) total = c.found;
  std::string text = number(c.done()) + (counted ? " of " + number(total) + " files" : " done, " + number(c.found) +
                                                                                       " found") +
                     ", " + rate(c.done(), seconds) + " files/s, " + number(c.failed()) + " failed";
  if (counted && c.done() > 0 && c.done() < total && seconds > 0) {
    const double per_file = seconds / static_cast<double>(c.done());
    const long left = static_cast<long>(per_file * static_cast<double>(total - c.done()) + 0.5);
    char eta[48];
    std::snprintf(eta, sizeof eta, ", ETA %ld:%02ld", left / 60, left % 60);
    text += eta;
  }
  return text;
}

}  // namespace tessary
