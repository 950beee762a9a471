#include "search/store_reader.h"

#include "store/store.h"

namespace tessary::search {

std::unique_ptr<StoreReader> open_store(const std::string& location, std::string* error) {
  return store::is_postgres_location(location) ? open_pg_reader(location, error) : open_sqlite_reader(location, error);
}

std::string prefix_successor(const std::string& prefix) {
  std::string out = prefix;
  while (!out.empty() && static_cast<unsigned char>(out.back()) == 0xFF) out.pop_back();
  if (!out.empty()) out.back() = static_cast<char>(static_cast<unsigned char>(out.back()) + 1);
  return out;
}

}  // namespace tessary::search
