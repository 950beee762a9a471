// One search request, and the checks that turn option text into it: shared by tessary-search's
// options and the search page's URL parameters, so both accept and refuse the same values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "search/query.h"

namespace tessary::search {

/// What to look for and which part of the answer to return.
struct Request {
  Query query;                             ///< no terms: every record
  std::optional<std::string> path_prefix;  ///< records whose path bytes start with this
  std::optional<std::string> name_glob;    ///< records whose file name matches (see glob_match)
  std::optional<std::int64_t> min_size;    ///< size >= this
  std::optional<std::int64_t> max_size;    ///< size <= this
  std::optional<std::string> after;        ///< mtime >= this ("YYYY-MM-DD HH:MM:SS")
  std::optional<std::string> before;       ///< mtime < this ("YYYY-MM-DD HH:MM:SS")
  std::optional<std::string> digest;       ///< md5 equal to this (32 lowercase hex digits)
  bool duplicates = false;                 ///< only records whose digest another record shares
  std::int64_t limit = 20;                 ///< most results returned; 0 for all
  std::int64_t offset = 0;                 ///< results skipped before the first returned
  bool content = false;                    ///< return each record's whole content
};

/// Most words a query may have (each becomes a condition of the store's query).
constexpr std::size_t kMaxQueryWords = 64;

/// Sets the request field named `key` from `value`. Keys: "query", "path", "name", "min-size",
/// "max-size", "after", "before", "digest", "limit", "offset". Returns false with `*error`
/// saying what is wrong (e.g. "--limit: not a non-negative number: -5") for a bad value or key.
/// `what` names the option in messages ("--limit" or "limit").
bool set_field(Request* request, const std::string& key, const std::string& value, const std::string& what,
               std::string* error);

/// A count: decimal digits only, at most 2^62. False for anything else.
bool parse_count(const std::string& text, std::int64_t* out);

/// A size in bytes: digits, optionally followed by k, M, G or T (powers of 1024; either case).
bool parse_size(const std::string& text, std::int64_t* out);

/// A date "YYYY-MM-DD", optionally followed by " " or "T" and "HH:MM" or "HH:MM:SS", that is a
/// real calendar value; written out as "YYYY-MM-DD HH:MM:SS" (a missing time is 00:00:00).
bool parse_date(const std::string& text, std::string* out);

/// An MD5 digest: 32 hex digits in either case; written out in lowercase.
bool parse_digest(const std::string& text, std::string* out);

/// Shell-style wildcard match of a file name: '*' any run, '?' one character (a UTF-8 sequence
/// or one other byte), "[abc]", "[a-z]", "[!x]" or "[^x]" one of a set, '\' takes the next
/// character literally. ASCII letters of the pattern match either case (stored names are
/// lowercased).
bool glob_match(const std::string& pattern, const std::string& name);

}  // namespace tessary::search
