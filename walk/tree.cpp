#include "walk/tree.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessary {

bool path_excluded(const std::string& path, const std::vector<std::string>& patterns) {
  for (const std::string& pattern : patterns)
    if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0) return true;
  return false;
}

TreeWalk::TreeWalk(TreeOptions options) : options_(std::move(options)) {}

TreeWalk::~TreeWalk() {
  while (!stack_.empty()) pop();
}

void TreeWalk::add_path(const std::string& path) { operands_.push_back(path); }

void TreeWalk::add_list(FILE* list, bool null_separated) {
  list_ = list;
  list_null_ = null_separated;
}

void TreeWalk::pop() {
  closedir(stack_.back().dir);
  stack_.pop_back();
}

bool TreeWalk::next_operand(std::string* path) {
  if (next_operand_index_ < operands_.size()) {
    *path = operands_[next_operand_index_++];
    return true;
  }
  if (list_ == nullptr) return false;
  // One name per call, read straight from the stream: a list of any length costs no memory.
  char* line = nullptr;
  std::size_t capacity = 0;
  for (;;) {
    const ssize_t got = getdelim(&line, &capacity, list_null_ ? '\0' : '\n', list_);
    if (got < 0) {
      free(line);
      list_ = nullptr;
      return false;
    }
    std::size_t length = static_cast<std::size_t>(got);
    if (length > 0 && line[length - 1] == (list_null_ ? '\0' : '\n')) --length;
    if (length == 0) continue;
    path->assign(line, length);
    free(line);
    return true;
  }
}

bool TreeWalk::enter(int dir_fd, const std::string& path, dev_t device, Entry* entry) {
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    entry->kind = EntryKind::kUnreadable;
    entry->path = path;
    entry->message = path + ": " + std::strerror(errno);
    close(dir_fd);
    return false;
  }
  ++directories_;
  path_ = path;
  if (path_.empty() || path_.back() != '/') path_ += '/';
  stack_.push_back(Level{dir, path_.size(), device});
  return true;
}

bool TreeWalk::start_operand(const std::string& path, Entry* entry) {
  entry->path = path;
  if (path_excluded(path, options_.excludes)) {
    entry->kind = EntryKind::kExcluded;
    return true;
  }
  // A path given by the user is followed if it is a link (find -H); nothing below it is.
  if (stat(path.c_str(), &entry->status) != 0) {
    entry->kind = EntryKind::kUnreadable;
    entry->message = path + ": " + std::strerror(errno);
    return true;
  }
  if (S_ISREG(entry->status.st_mode)) {
    entry->kind = EntryKind::kFile;
    return true;
  }
  if (!S_ISDIR(entry->status.st_mode)) {
    entry->kind = EntryKind::kSpecial;
    return true;
  }
  root_device_ = entry->status.st_dev;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    entry->kind = EntryKind::kUnreadable;
    entry->message = path + ": " + std::strerror(errno);
    return true;
  }
  return !enter(fd, path, entry->status.st_dev, entry);
}

bool TreeWalk::next(Entry* entry) {
  for (;;) {
    if (stack_.empty()) {
      std::string operand;
      if (!next_operand(&operand)) return false;
      if (start_operand(operand, entry)) return true;
      continue;
    }
    Level& level = stack_.back();
    errno = 0;
    const dirent* d = readdir(level.dir);
    if (d == nullptr) {
      const int error = errno;
      path_.resize(level.path_length);
      if (error != 0) {
        entry->kind = EntryKind::kUnreadable;
        entry->path = path_;
        entry->message = path_ + ": " + std::strerror(error);
      }
      pop();
      if (!stack_.empty()) path_.resize(stack_.back().path_length);
      if (error != 0) return true;
      continue;
    }
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    path_.resize(level.path_length);
    path_ += name;
    entry->path = path_;
    if (path_.size() > options_.max_path) {
      entry->kind = EntryKind::kUnreadable;
      entry->message = path_ + ": " + std::strerror(ENAMETOOLONG);
      return true;
    }
    if (!options_.excludes.empty() && path_excluded(path_, options_.excludes)) {
      entry->kind = EntryKind::kExcluded;
      return true;
    }
    const int dir_fd = dirfd(level.dir);
    if (fstatat(dir_fd, name, &entry->status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since the directory was read
      entry->kind = EntryKind::kUnreadable;
      entry->message = path_ + ": " + std::strerror(errno);
      return true;
    }
    const mode_t mode = entry->status.st_mode;
    if (S_ISREG(mode)) {
      entry->kind = EntryKind::kFile;
      return true;
    }
    if (S_ISLNK(mode)) continue;
    if (!S_ISDIR(mode)) {
      entry->kind = EntryKind::kSpecial;
      return true;
    }
    if (options_.one_file_system && entry->status.st_dev != root_device_) continue;
    const int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      entry->kind = EntryKind::kUnreadable;
      entry->message = path_ + ": " + std::strerror(errno);
      return true;
    }
    const std::string directory = path_;
    if (!enter(fd, directory, entry->status.st_dev, entry)) return true;
  }
}

}  // namespace tessary
