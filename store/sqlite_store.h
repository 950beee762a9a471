// The embedded store: one SQLite file in WAL mode with an FTS5 index over the content.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tessary::store {

/// Opens or creates the SQLite store at `path` (see open_store). Commits are durable
/// (synchronous=FULL): a transaction that returned is on disk, also after a power loss. A store
/// of an older schema is upgraded in place (version 1: the full-text table is rebuilt, about
/// 0.3 ms a record).
std::unique_ptr<Store> open_sqlite_store(const std::string& path, std::string* error);

}  // namespace tessary::store
