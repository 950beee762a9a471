// Office profiles and private conversion directories: the pool, its locks, what it refuses to
// trust, and removal without following links.
#include "extract/office.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "tests/harness.h"

namespace {

using tessary::OfficeProfile;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

/// True when another process can take the lock on `file` right now (util-linux flock).
bool lock_free_for_others(const std::string& file) {
  return harness::run_process({"flock", "-n", file, "true"}).status == 0;
}

TEST(OfficePool, FourLockedProfilesThenTemporaries) {
  harness::TempDir dir;
  const std::string pool = dir.file("pool");
  OfficeProfile taken[tessary::kOfficeProfilePoolSize];
  std::set<std::string> dirs;
  for (OfficeProfile& p : taken) {
    ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &p));
    EXPECT_FALSE(p.temporary);
    EXPECT_EQ(p.dir.rfind(pool + "/profile-", 0), 0u) << p.dir;
    EXPECT_EQ(p.url, "file://" + p.dir);
    EXPECT_EQ(tessary::office_profile_argument(p), "-env:UserInstallation=file://" + p.dir);
    // The lock is not handed on to libreoffice, which could keep it past the release.
    EXPECT_EQ(fcntl(p.lock_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(mode_of(p.dir), 0700u);
    dirs.insert(p.dir);
  }
  EXPECT_EQ(dirs.size(), 4u);
  EXPECT_EQ(mode_of(pool), 0700u);
  EXPECT_FALSE(lock_free_for_others(pool + "/profile-2.lock"));

  // Every pooled profile is taken: a temporary one, gone after its release.
  OfficeProfile extra;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &extra));
  EXPECT_TRUE(extra.temporary);
  EXPECT_EQ(extra.dir.rfind(pool + "/temp-", 0), 0u) << extra.dir;
  EXPECT_TRUE(exists(extra.dir));
  std::string extra_dir = extra.dir;
  tessary::release_office_profile(&extra);
  EXPECT_FALSE(exists(extra_dir));
  tessary::release_office_profile(&extra);  // a second release does nothing

  // A released slot is free for others and is handed out again, with what it held kept.
  harness::write_file(taken[2].dir + "/kept", "x");
  tessary::release_office_profile(&taken[2]);
  EXPECT_TRUE(lock_free_for_others(pool + "/profile-2.lock"));
  OfficeProfile again;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &again));
  EXPECT_EQ(again.dir, pool + "/profile-2");
  EXPECT_TRUE(exists(again.dir + "/kept"));
  tessary::release_office_profile(&again);
  for (OfficeProfile& p : taken) tessary::release_office_profile(&p);
}

TEST(OfficePool, PoolHeldByAnotherProcessIsSkipped) {
  harness::TempDir dir;
  const std::string pool = dir.file("pool");
  OfficeProfile first;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &first));
  tessary::release_office_profile(&first);
  // Another process holds slot 0 for a while.
  pid_t pid = fork();
  if (pid == 0) {
    execlp("flock", "flock", (pool + "/profile-0.lock").c_str(), "sleep", "2", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && lock_free_for_others(pool + "/profile-0.lock"); ++i) usleep(10000);
  OfficeProfile p;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &p));
  EXPECT_EQ(p.dir, pool + "/profile-1");
  tessary::release_office_profile(&p);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(OfficePool, UntrustedPoolDirectoryIsNotUsed) {
  harness::TempDir dir;
  // Open to others, owned by somebody else, or a symbolic link: a temporary profile under /tmp.
  const std::string open_dir = dir.file("open");
  mkdir(open_dir.c_str(), 0755);
  chmod(open_dir.c_str(), 0755);
  const std::string foreign = dir.file("foreign");
  mkdir(foreign.c_str(), 0700);
  bool can_chown = chown(foreign.c_str(), 65534, 65534) == 0;
  const std::string target = dir.file("target");
  mkdir(target.c_str(), 0700);
  const std::string link = dir.file("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  for (const std::string& pool : {open_dir, foreign, link}) {
    if (pool == foreign && !can_chown) continue;
    OfficeProfile p;
    ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &p)) << pool;
    EXPECT_TRUE(p.temporary) << pool;
    EXPECT_EQ(p.dir.rfind("/tmp/tessary-office-", 0), 0u) << p.dir;
    EXPECT_EQ(mode_of(p.dir), 0700u);
    std::string made = p.dir;
    tessary::release_office_profile(&p);
    EXPECT_FALSE(exists(made));
  }
  EXPECT_FALSE(exists(open_dir + "/profile-0.lock"));
  EXPECT_FALSE(exists(target + "/profile-0.lock"));
}

TEST(OfficePool, StaleTemporariesOfKilledRunsAreRemoved) {
  harness::TempDir dir;
  const std::string pool = dir.file("pool");
  OfficeProfile taken[tessary::kOfficeProfilePoolSize];
  for (OfficeProfile& p : taken) ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &p));
  // Left by killed runs: one old, one young; and an old one whose run still holds it.
  const std::string old_dir = pool + "/temp-OLD123", young = pool + "/temp-NEW123", held = pool + "/temp-HELD12";
  for (const std::string& d : {old_dir, young, held}) {
    mkdir(d.c_str(), 0700);
    harness::write_file(d + "/registrymodifications.xcu", "x");
  }
  timespec hour_ago[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  utimensat(AT_FDCWD, old_dir.c_str(), hour_ago, 0);
  utimensat(AT_FDCWD, held.c_str(), hour_ago, 0);
  int held_fd = open(held.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held_fd, LOCK_EX), 0);

  OfficeProfile extra;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &extra));
  EXPECT_TRUE(extra.temporary);
  EXPECT_FALSE(exists(old_dir));
  EXPECT_TRUE(exists(young));
  EXPECT_TRUE(exists(held + "/registrymodifications.xcu"));
  close(held_fd);
  tessary::release_office_profile(&extra);
  for (OfficeProfile& p : taken) tessary::release_office_profile(&p);
}

TEST(OfficePool, ProfileUrlEncodesUnusualBytes) {
  harness::TempDir dir;
  const std::string pool = dir.file("my pool%#?");
  OfficeProfile p;
  ASSERT_TRUE(tessary::acquire_office_profile_in(pool, &p));
  EXPECT_EQ(p.url, "file://" + dir.path + "/my%20pool%25%23%3F/profile-0");
  tessary::release_office_profile(&p);
}

TEST(OfficeDirectories, PrivateDirectoryBesideOrInsideTheWorkDirectory) {
  harness::TempDir dir;
  std::string inside, beside;
  ASSERT_TRUE(tessary::make_private_directory(dir.path + "/", &inside));
  EXPECT_EQ(inside.rfind(dir.path + "/tessary-", 0), 0u);
  EXPECT_EQ(inside.size(), dir.path.size() + 1 + 14);
  EXPECT_EQ(mode_of(inside), 0700u);
  ASSERT_TRUE(tessary::make_private_directory(dir.path + "/work", &beside));
  EXPECT_EQ(beside.rfind(dir.path + "/worktessary-", 0), 0u);
  std::string none;
  EXPECT_FALSE(tessary::make_private_directory(dir.file("missing") + "/", &none));
  EXPECT_TRUE(none.empty());
}

TEST(OfficeDirectories, RemoveTreeFollowsNoLink) {
  harness::TempDir dir;
  const std::string outside = dir.file("outside");
  mkdir(outside.c_str(), 0755);
  harness::write_file(outside + "/precious", "keep me");
  const std::string tree = dir.file("tree");
  mkdir(tree.c_str(), 0700);
  mkdir((tree + "/sub").c_str(), 0700);
  harness::write_file(tree + "/sub/Budget.csv", "a,b\n");
  harness::write_file(tree + "/Budget.csv", "a,b\n");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious").c_str(), (tree + "/sub/file-link").c_str()), 0);
  EXPECT_TRUE(tessary::remove_tree(tree));
  EXPECT_FALSE(exists(tree));
  EXPECT_EQ(harness::read_file(outside + "/precious"), "keep me");
  EXPECT_FALSE(tessary::remove_tree(""));
}

}  // namespace
