#include "server/writer.h"

#include <chrono>

#include "server/log.h"

namespace tessary::server {
namespace {

std::size_t weight(const IndexRecord& r) { return r.path.size() + r.name.size() + r.content.size() + 128; }

}  // namespace

Writer::Writer(store::Store* store, std::size_t queue_bytes) : store_(store), queue_bytes_max_(queue_bytes) {}

Writer::~Writer() {
  if (thread_.joinable()) finish();
}

void Writer::start() { thread_ = std::thread([this] { run(); }); }

bool Writer::submit(std::vector<IndexRecord>&& records, std::uint64_t rejected,
                    const std::function<bool()>& stop_waiting) {
  if (records.empty() && rejected == 0) return false;
  std::size_t bytes = 0;
  for (const IndexRecord& r : records) bytes += weight(r);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto room = [&] { return queue_bytes_ == 0 || queue_bytes_ + bytes <= queue_bytes_max_ || failed_; };
  const bool waited = !room();
  while (!space_.wait_for(lock, std::chrono::milliseconds(200), room)) {
    if (stop_waiting()) break;
  }
  for (IndexRecord& r : records) queue_.push_back(std::move(r));
  queue_bytes_ += bytes;
  rejected_ += rejected;
  wake_.notify_one();
  return waited;
}

void Writer::run() {
  std::vector<IndexRecord> batch;
  std::vector<const IndexRecord*> pointers;
  std::uint64_t rejected = 0;
  std::size_t bytes = 0;
  int failures = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (batch.empty() && rejected == 0) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty() || rejected_ > 0; });
        if (queue_.empty() && rejected_ == 0) return;  // stopping, nothing left
        batch.swap(queue_);
        rejected = rejected_;
        rejected_ = 0;
        bytes = queue_bytes_;
      }
    }
    pointers.clear();
    for (const IndexRecord& r : batch) pointers.push_back(&r);
    std::string error;
    if (store_->apply(pointers, rejected, store::local_time_now(), &error)) {
      std::lock_guard<std::mutex> lock(mutex_);
      committed_ += batch.size();
      queue_bytes_ -= bytes;
      batch.clear();
      rejected = 0;
      failures = 0;
      space_.notify_all();
      continue;
    }
    // The batch stays and is tried again; the peers are held back meanwhile. When stopping,
    // a few more tries are all there is.
    log_line("cannot store " + std::to_string(batch.size()) + " records: " + escape_for_log(error, 400));
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ && ++failures >= 3) {
      failed_ = true;
      space_.notify_all();
      return;
    }
    wake_.wait_for(lock, std::chrono::seconds(1));
  }
}

bool Writer::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return !failed_;
}

std::uint64_t Writer::committed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return committed_;
}

}  // namespace tessary::server
