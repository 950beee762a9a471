// What a walk counts, the progress line and the end summary.
#pragma once

#include <cstdint>
#include <string>

namespace tessary {

/// Counts of one walk. Every file found ends in exactly one of indexed, unchanged, a failure
/// reason, skipped_poison or interrupted; excluded, special and unreadable entries are counted
/// as the walk meets them.
struct WalkCounts {
  std::uint64_t found = 0;           ///< regular files met
  std::uint64_t indexed = 0;         ///< record delivered
  std::uint64_t unchanged = 0;       ///< skipped: the same as when its record was delivered
  std::uint64_t crashed = 0;         ///< the file's work ended its worker process (poison)
  std::uint64_t timed_out = 0;       ///< ran past --time-limit (poison)
  std::uint64_t memory = 0;          ///< passed --memory-limit (poison)
  std::uint64_t unreadable = 0;      ///< a file or directory that could not be examined or read
  std::uint64_t not_delivered = 0;   ///< the record could not be delivered (tried again next walk)
  std::uint64_t skipped_poison = 0;  ///< failed in an earlier walk and unchanged since
  std::uint64_t interrupted = 0;     ///< ended by a stop of the walk before its record was sent
  std::uint64_t excluded = 0;        ///< paths matched by --exclude
  std::uint64_t special = 0;         ///< named pipes, devices, sockets

  std::uint64_t failed() const { return crashed + timed_out + memory + unreadable + not_delivered; }
  /// Files whose handling ended (every kind but the ones still running).
  std::uint64_t done() const { return indexed + unchanged + failed() + skipped_poison + interrupted; }
};

/// The end summary, several lines each ending in a line feed:
///   indexed 12, unchanged 3, failed 2 (crashed 1, timed out 1, memory 0, unreadable 0, not delivered 0)
///   skipped as failed before 0, excluded 4, special files 1
///   1.25 s, 14 files/s
/// each line starting with "tessary-walk: ". `interrupted` is named only when not zero.
std::string format_summary(const WalkCounts& counts, double seconds);

/// The progress line (without line end): files done and found, files per second, failures so
/// far; once the whole tree has been counted (`total` files, `counted`), files done of the total
/// and "ETA M:SS".
std::string format_progress(const WalkCounts& counts, double seconds, bool counted, std::uint64_t total);

}  // namespace tessary
