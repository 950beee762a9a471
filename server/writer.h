// The one thread that writes into the store. Connections hand it parsed records; it commits
// whatever has queued up in one transaction, starts the next commit as soon as the last one
// returned (group commit), so a record is in the store one commit time after it arrived, and
// under load each commit carries many records.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "record/record_parser.h"
#include "store/store.h"

namespace tessary::server {

class Writer {
 public:
  /// `store` is used by the writer thread only, from start() until finish() returned.
  /// `queue_bytes` bounds the records waiting for a commit (one batch may pass it alone).
  Writer(store::Store* store, std::size_t queue_bytes);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  /// Starts the thread.
  void start();

  /// Queues `records` and adds `rejected` to the count of records that could not be taken.
  /// Blocks while the queue is full (the store is slower than the peers, or failing), which
  /// holds the connections back instead of growing without bound; `stop_waiting`, asked every
  /// 200 ms while it waits, ends the wait (the records are queued all the same: a stop must not
  /// hang on a store that fails). Returns true when it had to wait.
  bool submit(std::vector<IndexRecord>&& records, std::uint64_t rejected,
              const std::function<bool()>& stop_waiting = [] { return false; });

  /// Commits everything queued, then ends the thread. False when some of it could not be
  /// committed (each failure was logged).
  bool finish();

  /// Records committed so far.
  std::uint64_t committed() const;

 private:
  void run();

  store::Store* store_;
  std::size_t queue_bytes_max_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;   // the writer: something queued, or stop
  std::condition_variable space_;  // submitters: the queue shrank
  std::vector<IndexRecord> queue_;
  std::size_t queue_bytes_ = 0;
  std::uint64_t rejected_ = 0;
  std::uint64_t committed_ = 0;
  bool stopping_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace tessary::server
