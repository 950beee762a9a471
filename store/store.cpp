#include "store/store.h"

#include <ctime>

#include "store/postgres_store.h"
#include "store/sqlite_store.h"

namespace tessary::store {

bool is_postgres_location(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> open_store(const std::string& location, std::string* error) {
  if (is_postgres_location(location)) return open_postgres_store(location, error);
  return open_sqlite_store(location, error);
}

std::string local_time_now() {
  const time_t now = time(nullptr);
  struct tm broken {};
  localtime_r(&now, &broken);
  char text[32];
  const std::size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &broken);
  return std::string(text, n);
}

}  // namespace tessary::store
