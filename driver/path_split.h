// Splitting the command-line path into file name and extension.
#pragma once

#include <string>

namespace tessary {

/// File name: the text after the last "/" or backslash of `path` (the whole path when it has none).
std::string file_name_of(const std::string& path);

/// Extension: the text after the last "." of the whole `path` (the whole path when it has none).
std::string extension_of(const std::string& path);

}  // namespace tessary
