// Office conversions with `libreoffice`: private user profiles and private work directories,
// so that runs converting at the same time never disturb each other.
#pragma once

#include <string>

namespace tessary {

/// A user profile taken for one libreoffice start; released (and removed when temporary) by
/// release_office_profile.
struct OfficeProfile {
  std::string url;   ///< value for -env:UserInstallation=, a file:// URL
  std::string dir;   ///< the profile directory
  int lock_fd = -1;  ///< held lock on a pooled profile, -1 for a temporary one
  bool temporary = false;
};

/// Takes a free profile of the pool (locked exclusively), or a temporary one when every pooled
/// profile is taken. The pool lives in a private directory (mode 0700, owned by this user, no
/// symbolic link followed). Returns false when no profile directory can be made; the
/// conversion then runs with libreoffice's default profile.
bool acquire_office_profile(OfficeProfile* profile);

/// Releases a profile taken by acquire_office_profile.
void release_office_profile(OfficeProfile* profile);

/// The "-env:UserInstallation=..." argument for `profile`.
std::string office_profile_argument(const OfficeProfile& profile);

}  // namespace tessary
