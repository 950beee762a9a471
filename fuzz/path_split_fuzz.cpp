// Fuzzes the split of the command-line path into file name and extension.
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/path_split.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);

  // The file name is the path's tail after its last "/" or backslash, and holds neither.
  const std::string name = tessary::file_name_of(path);
  FUZZ_CHECK(name.find_first_of("/\\") == std::string::npos);
  FUZZ_CHECK(fuzz::ends_with(path, name));
  if (name.size() < path.size()) {
    const char before = path[path.size() - name.size() - 1];
    FUZZ_CHECK(before == '/' || before == '\\');
  } else {
    FUZZ_CHECK(path.find_first_of("/\\") == std::string::npos);
  }

  // The extension is the tail after the last "." of the whole path, or the whole path without one.
  const std::string extension = tessary::extension_of(path);
  if (path.find('.') == std::string::npos) {
    FUZZ_CHECK(extension == path);
  } else {
    FUZZ_CHECK(extension.find('.') == std::string::npos);
    FUZZ_CHECK(extension.size() < path.size());
    FUZZ_CHECK(fuzz::ends_with(path, "." + extension));
  }
  return 0;
}
