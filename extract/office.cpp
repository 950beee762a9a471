#include "extract/office.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "process/unique_fd.h"

namespace tessary {

namespace {

/// A temporary profile left by a run that was killed is removed by a later run once it is older
/// than this; no conversion lives that long (each is bounded to 30 seconds).
constexpr time_t kStaleTemporaryAgeSeconds = 600;

constexpr const char* kTemporaryPrefix = "temp-";


/// file:// URL of an absolute path, every byte outside the unreserved set percent-encoded.
std::string file_url(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

/// Opens the pool directory, making it when missing; -1 unless it is a real directory (not a
/// symbolic link) owned by us and closed to everybody else.
int open_private_pool(const std::string& pool_dir) {
  if (mkdir(pool_dir.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(pool_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/// True when `name` below `dir_fd` is a real directory of ours, made when missing.
bool ensure_own_directory(int dir_fd, const std::string& name) {
  if (mkdirat(dir_fd, name.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == geteuid();
}

/// Tries pooled profile `slot`: takes its lock without waiting.
bool take_pool_slot(int pool_fd, const std::string& pool_dir, int slot, OfficeProfile* profile) {
  std::string name = "profile-" + std::to_string(slot);
  // Close-on-exec, so libreoffice never inherits the lock and keeps it past our release.
  UniqueFd lock(openat(pool_fd, (name + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (lock.get() < 0) return false;
  struct stat st;
  if (fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
  int rc;
  while ((rc = flock(lock.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) return false;
  if (!ensure_own_directory(pool_fd, name)) return false;
  profile->dir = pool_dir + "/" + name;
  profile->url = file_url(profile->dir);
  profile->lock_fd = lock.release();
  profile->temporary = false;
  return true;
}

/// Removes temporary profiles that runs which were killed left in the pool. One that is still in
/// use is locked by its run, and is young anyway.
void remove_stale_temporaries(int pool_fd, const std::string& pool_dir) {
  int scan_fd = openat(pool_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scan_fd < 0) return;
  DIR* dir = fdopendir(scan_fd);
  if (!dir) {
    close(scan_fd);
    return;
  }
  std::vector<std::string> stale;
  time_t now = time(nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, 5, kTemporaryPrefix) != 0) continue;
    struct stat st;
    if (fstatat(pool_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (now - st.st_mtime < kStaleTemporaryAgeSeconds) continue;
    UniqueFd fd(openat(pool_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() >= 0 && flock(fd.get(), LOCK_EX | LOCK_NB) == 0) stale.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : stale) remove_tree(pool_dir + "/" + name);
}

/// A fresh profile directory from `dir_template` (ending in XXXXXX), locked while in use.
bool take_temporary(std::string dir_template, OfficeProfile* profile) {
  if (!mkdtemp(dir_template.data())) return false;
  UniqueFd fd(open(dir_template.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    rmdir(dir_template.c_str());  // still empty; rmdir needs no descriptor when none are left
    return false;
  }
  profile->dir = dir_template;
  profile->url = file_url(profile->dir);
  profile->lock_fd = fd.release();
  profile->temporary = true;
  return true;
}

thread_local bool tree_removal_failed = false;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  if (remove(path) != 0 && errno != ENOENT) tree_removal_failed = true;
  return 0;
}

}  // namespace

std::string office_pool_directory() { return "/var/tmp/tessary-office-" + std::to_string(geteuid()); }

bool acquire_office_profile(OfficeProfile* profile) {
  return acquire_office_profile_in(office_pool_directory(), profile);
}

bool acquire_office_profile_in(const std::string& pool_dir, OfficeProfile* profile) {
  *profile = OfficeProfile();
  UniqueFd pool(open_private_pool(pool_dir));
  if (pool.get() < 0) {
    // Not a place we can trust: a profile of our own under /tmp instead.
    return take_temporary("/tmp/tessary-office-XXXXXX", profile);
  }
  for (int slot = 0; slot < kOfficeProfilePoolSize; ++slot)
    if (take_pool_slot(pool.get(), pool_dir, slot, profile)) return true;
  // Every pooled profile is in use: this run converts with a temporary one instead of waiting.
  remove_stale_temporaries(pool.get(), pool_dir);
  return take_temporary(pool_dir + "/" + kTemporaryPrefix + "XXXXXX", profile);
}

void release_office_profile(OfficeProfile* profile) {
  if (profile->temporary && !profile->dir.empty()) remove_tree(profile->dir);
  if (profile->lock_fd >= 0) close(profile->lock_fd);
  *profile = OfficeProfile();
}

std::string office_profile_argument(const OfficeProfile& profile) {
  return "-env:UserInstallation=" + profile.url;
}

bool make_private_directory(const std::string& work_directory, std::string* dir) {
  std::string dir_template = work_directory + "tessary-XXXXXX";
  if (!mkdtemp(dir_template.data())) return false;  // mkdtemp makes it with mode 0700
  *dir = dir_template;
  return true;
}

bool remove_tree(const std::string& dir) {
  if (dir.empty()) return false;
  tree_removal_failed = false;
  // Depth first, without following symbolic links or crossing into other file systems.
  if (nftw(dir.c_str(), remove_entry, 16, FTW_PHYS | FTW_DEPTH | FTW_MOUNT) != 0 && errno != ENOENT) return false;
  return !tree_removal_failed;
}

}  // namespace tessary
