// The store at scale: a PostgreSQL database reached through libpq.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tessary::store {

/// Connects to `uri` and creates the schema when missing, under a transaction-level advisory
/// lock so that several servers starting at once do not race (see open_store).
std::unique_ptr<Store> open_postgres_store(const std::string& uri, std::string* error);

/// The tsvector source for `content`: its leading kTsvectorSourceMax bytes at most, cut at a
/// character boundary, invalid UTF-8 and zero bytes each replaced by U+FFFD.
std::string tsvector_source(const std::string& content, std::size_t max_bytes);

}  // namespace tessary::store
