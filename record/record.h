// The index record: its stamp, the normalisation of its texts and the record line itself. This
// is the one place that writes the record's bytes; the index server parses what is built here.
#pragma once

#include <ctime>
#include <string>

namespace tessary {

/// Text of the digest field when no digest is computed.
constexpr const char* kNoDigest = "nicht berechnet";

/// The file's facts as the record writes them.
struct RecordFacts {
  std::string access_time;        ///< "%Y-%m-%d %H:%M:%S", local time
  std::string modification_time;  ///< same form
  std::string change_time;        ///< ctime() form without its line end
  std::string size;               ///< decimal byte count
};

/// "DD.MM.YYYY HH:MM:SS.micro" from a local-time reading and a separate microsecond reading.
std::string build_record_stamp();

/// The stamp for broken-down local time `tm` and `micros`.
std::string format_stamp(const struct tm& tm, long micros);

/// Lowercases the file name, path and content byte by byte (A to Z only), removes line feeds
/// and zero bytes from the content, and replaces single and double quotes in the path by blanks.
void normalise_texts(std::string& path, std::string& file_name, std::string& content);

/// The whole index record line, CR LF included, from already normalised texts.
std::string build_index_record(const std::string& path, const std::string& file_name,
                               const RecordFacts& facts, const std::string& digest,
                               const std::string& content, const std::string& stamp);

}  // namespace tessary
