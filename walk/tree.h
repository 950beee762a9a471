// The tree walk: every entry under the given paths, one at a time, without following links.
//
// Directories are opened with O_NOFOLLOW | O_DIRECTORY relative to their parent's descriptor, so a
// directory renamed or replaced by a link during the walk cannot lead the walk elsewhere; entries
// are examined with fstatat(AT_SYMLINK_NOFOLLOW). A directory is read entry by entry as the walk
// goes (nothing of a directory is held but its open descriptor), so memory does not grow with the
// number of files. Names are bytes: every byte but "/" and NUL.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tessary {

/// What one step of the walk found.
enum class EntryKind {
  kFile,        ///< a regular file: index it
  kSpecial,     ///< a named pipe, device or socket: counted, never opened
  kExcluded,    ///< matched an --exclude pattern (a directory is then not entered)
  kUnreadable,  ///< could not be examined or read (the message names path and reason)
};

struct Entry {
  EntryKind kind = EntryKind::kFile;
  std::string path;     ///< as the walk built it: the given path, "/", the names below it
  struct stat status{};  ///< of the file (kFile, kSpecial)
  std::string message;  ///< kUnreadable: "PATH: reason"
};

struct TreeOptions {
  std::vector<std::string> excludes;  ///< fnmatch patterns without FNM_PATHNAME
  bool one_file_system = false;
  /// Longest path handed out (longer ones are reported unreadable: the kernel refuses them).
  std::size_t max_path = 4095;
};

/// True when `path` matches one of `patterns` as find -path does (fnmatch without FNM_PATHNAME:
/// "*" and "?" match "/" too).
bool path_excluded(const std::string& path, const std::vector<std::string>& patterns);

/// Walks the given paths and the names read from a list, one entry per call to next().
class TreeWalk {
 public:
  explicit TreeWalk(TreeOptions options);
  ~TreeWalk();
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  /// Adds a path given by the user (walked in the order added, after the ones before it).
  void add_path(const std::string& path);
  /// Reads further paths from `list` (not owned; closed by the caller) once the added paths are
  /// walked: one a line, or NUL-ended when `null_separated`. An empty name is skipped.
  void add_list(FILE* list, bool null_separated);

  /// The next entry. False when the walk is complete. Directories themselves are not entries;
  /// symbolic links below a given path are skipped without an entry.
  bool next(Entry* entry);

  /// Number of directories entered so far.
  std::uint64_t directories() const { return directories_; }

 private:
  struct Level {
    DIR* dir = nullptr;
    std::size_t path_length = 0;  ///< length of the directory's path (without a trailing "/")
    dev_t device = 0;
  };
  bool next_operand(std::string* path);
  bool start_operand(const std::string& path, Entry* entry);
  bool enter(int dir_fd, const std::string& path, dev_t device, Entry* entry);
  void pop();

  TreeOptions options_;
  std::vector<std::string> operands_;
  std::size_t next_operand_index_ = 0;
  FILE* list_ = nullptr;
  bool list_null_ = false;
  std::vector<Level> stack_;
  std::string path_;
  dev_t root_device_ = 0;
  std::uint64_t directories_ = 0;
};

}  // namespace tessary
