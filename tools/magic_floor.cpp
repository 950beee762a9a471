// The benchmark's floor: only the two libmagic lookups that every run makes (the MIME type, then
// the full description), for every path read from standard input (one a line), in one process
// whose libmagic cookie is loaded once. Prints nothing but a count on standard error.
#include <magic.h>

#include <cstdio>
#include <iostream>
#include <string>

int main() {
  magic_t magic = magic_open(MAGIC_MIME_TYPE);
  if (magic == nullptr || magic_load(magic, nullptr) != 0) {
    std::fputs("tessary_magic_floor: cannot load libmagic's database\n", stderr);
    return 1;
  }
  std::size_t files = 0, found = 0;
  for (std::string path; std::getline(std::cin, path);) {
    magic_setflags(magic, MAGIC_MIME_TYPE);
    const char* mime = magic_file(magic, path.c_str());
    magic_setflags(magic, MAGIC_CONTINUE);
    const char* description = magic_file(magic, path.c_str());
    found += mime != nullptr && description != nullptr;
    ++files;
  }
  std::fprintf(stderr, "tessary_magic_floor: %zu files, %zu looked up\n", files, found);
  magic_close(magic);
  return found == files ? 0 : 1;
}
