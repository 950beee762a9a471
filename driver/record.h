// The record stamp, the normalisation of the record's texts and the index record itself.
#pragma once

#include <string>

#include "driver/file_facts.h"

namespace tessary {

/// "DD.MM.YYYY HH:MM:SS.micro" from a local-time reading and a separate microsecond reading.
std::string build_record_stamp();

/// The stamp for broken-down local time `tm` and `micros`.
std::string format_stamp(const struct tm& tm, long micros);

/// Lowercases the file name, path and content byte by byte (A to Z only), removes line feeds
/// and zero bytes from the content, and replaces single and double quotes in the path by blanks.
void normalise_texts(std::string& path, std::string& file_name, std::string& content);

/// The whole index record line, CR LF included, from already normalised texts.
std::string build_index_record(const std::string& path, const std::string& file_name,
                               const FileFacts& facts, const std::string& digest,
                               const std::string& content, const std::string& stamp);

}  // namespace tessary
