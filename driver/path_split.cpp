#include "driver/path_split.h"

namespace tessary {

std::string file_name_of(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string extension_of(const std::string& path) {
  // The last "." of the whole path counts, also one inside a directory name.
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

}  // namespace tessary
