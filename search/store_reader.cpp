#include "search/store_reader.h"

namespace tessary::search {

bool is_postgres_spec(const std::string& spec) {
  return spec.rfind("postgresql://", 0) == 0 || spec.rfind("postgres://", 0) == 0;
}

std::unique_ptr<StoreReader> open_store(const std::string& spec, std::string* error) {
  return is_postgres_spec(spec) ? open_pg_reader(spec, error) : open_sqlite_reader(spec, error);
}

std::string prefix_successor(const std::string& prefix) {
  std::string out = prefix;
  while (!out.empty() && static_cast<unsigned char>(out.back()) == 0xFF) out.pop_back();
  if (!out.empty()) out.back() = static_cast<char>(static_cast<unsigned char>(out.back()) + 1);
  return out;
}

}  // namespace tessary::search
