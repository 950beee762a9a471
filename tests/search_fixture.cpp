#include "tests/search_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "record/record_parser.h"
#include "store/store.h"

namespace harness {

namespace {

// "YYYY-MM-DD HH:MM:SS" into the parser's civil time.
tessary::CivilTime civil(const std::string& text) {
  tessary::CivilTime t;
  std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second);
  return t;
}

}  // namespace

std::string fill_store(const std::string& location, const std::vector<StoredRecord>& records, long long rejected,
                       const std::string& last_received) {
  std::string error;
  std::unique_ptr<tessary::store::Store> store = tessary::store::open_store(location, &error);
  if (!store) return error;
  std::vector<tessary::IndexRecord> parsed;
  parsed.reserve(records.size());
  for (const StoredRecord& r : records) {
    tessary::IndexRecord rec;
    rec.path = r.path;
    rec.name = r.name;
    rec.atime = civil(r.atime);
    rec.mtime = civil(r.mtime);
    rec.ctime = civil(r.ctime);
    rec.size = r.size;
    rec.md5 = r.md5;
    rec.content = r.content;
    rec.stamp.time = civil(r.stamp);
    rec.stamp.micros = std::atoi(r.stamp.c_str() + 20);
    parsed.push_back(std::move(rec));
  }
  // Batches of the size the server commits at most, each one transaction.
  for (std::size_t first = 0; first < parsed.size() || first == 0; first += 1000) {
    std::vector<const tessary::IndexRecord*> batch;
    for (std::size_t i = first; i < std::min(parsed.size(), first + 1000); ++i) batch.push_back(&parsed[i]);
    const bool last = first + 1000 >= parsed.size();
    if (!store->apply(batch, last ? static_cast<std::uint64_t>(rejected) : 0,
                      last && !last_received.empty() ? last_received : "2000-01-01T00:00:00", &error)) {
      return error;
    }
  }
  return "";
}

}  // namespace harness
