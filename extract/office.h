// Office conversions with `libreoffice`: private user profiles and private work directories,
// so that runs converting at the same time never disturb each other.
//
// Two libreoffice processes that share a user profile conflict: the second one hands its work
// to the first or fails, and silently writes nothing. Every start therefore gets a profile that
// no concurrent run uses. A fresh profile costs about a quarter of a second to set up, so a
// small pool of profiles persists between runs, each guarded by an exclusive lock.
#pragma once

#include <string>

namespace tessary {

/// Number of persistent profiles; runs beyond that use a temporary profile each.
constexpr int kOfficeProfilePoolSize = 4;

/// A user profile taken for one libreoffice start; released (and removed when temporary) by
/// release_office_profile.
struct OfficeProfile {
  std::string url;   ///< value for -env:UserInstallation=, a file:// URL
  std::string dir;   ///< the profile directory
  int lock_fd = -1;  ///< held lock: a pooled profile's lock file, or the temporary directory itself
  bool temporary = false;
};

/// The pool's directory: "/var/tmp/tessary-office-<effective uid>".
std::string office_pool_directory();

/// Takes a free profile of the pool (locked exclusively), or a temporary one when every pooled
/// profile is taken. The pool lives in a private directory (mode 0700, owned by this user, no
/// symbolic link followed). Returns false when no profile directory can be made; the
/// conversion then runs with libreoffice's default profile.
bool acquire_office_profile(OfficeProfile* profile);

/// As acquire_office_profile, with the pool in `pool_dir` (made when missing). A pool directory
/// that is not a real directory, not owned by this user or open to others is not used: the
/// profile is then a temporary one.
bool acquire_office_profile_in(const std::string& pool_dir, OfficeProfile* profile);

/// Releases a profile taken by acquire_office_profile: unlocks a pooled profile, removes a
/// temporary one with everything in it. Safe to call twice.
void release_office_profile(OfficeProfile* profile);

/// The "-env:UserInstallation=..." argument for `profile`.
std::string office_profile_argument(const OfficeProfile& profile);

/// Makes a directory of its own for one spreadsheet conversion: the text of `work_directory`
/// followed by "tessary-" and six random characters, mode 0700, so a work directory written
/// without its trailing "/" gets its directory beside it. Returns false (errno set) when it
/// cannot be made.
bool make_private_directory(const std::string& work_directory, std::string* dir);

/// Removes `dir` and everything below it without following any symbolic link. Returns false
/// when something could not be removed.
bool remove_tree(const std::string& dir);

}  // namespace tessary
