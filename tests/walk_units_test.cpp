// The walker's pure parts: sizes, exclusion patterns, heavy kinds, the tree walk over a real
// directory, the state file and the summary text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process/text.h"
#include "tests/harness.h"
#include "walk/options.h"
#include "walk/state.h"
#include "walk/summary.h"
#include "walk/supervisor.h"
#include "walk/tree.h"

namespace {

TEST(WalkOptions, SizesInBytesAndPowersOf1024) {
  const std::pair<const char*, std::uint64_t> good[] = {
      {"1", 1}, {"4096", 4096}, {"64k", 65536}, {"64K", 65536}, {"512M", 536870912}, {"1G", 1073741824},
      {"1GiB", 1073741824}, {"2MB", 2097152}, {"1T", 1099511627776}};
  for (const auto& [text, bytes] : good) {
    std::uint64_t got = 0;
    EXPECT_TRUE(tessary::parse_byte_size(text, &got)) << text;
    EXPECT_EQ(got, bytes) << text;
  }
  for (const char* bad : {"", "0", "G", "1X", "-1", "1.5G", "99999999999999999999", "17179869184G", " 1"}) {
    std::uint64_t got = 0;
    EXPECT_FALSE(tessary::parse_byte_size(bad, &got)) << bad;
  }
}

TEST(WalkOptions, UsageErrorsNameTheProblem) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no PATH"},
      {{"-j", "0", "x"}, "invalid number of jobs '0'"},
      {{"-j"}, "needs a value"},
      {{"--time-limit", "0", "x"}, "invalid time limit"},
      {{"--memory-limit", "lots", "x"}, "invalid memory limit 'lots'"},
      {{"--state"}, "'--state' needs a value"},
      {{"--nonsense", "x"}, "unknown option '--nonsense'"},
      {{"-Z", "x"}, "unknown option '-Z'"},
      {{""}, "empty path"}};
  for (const auto& [args, message] : cases) {
    std::vector<std::string> words = {"tessary-walk"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    tessary::WalkOptions options;
    std::string error;
    EXPECT_FALSE(tessary::parse_walk_options(static_cast<int>(words.size()), argv.data(), &options, &error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

TEST(WalkOptions, EveryOptionReachesItsField) {
  std::vector<std::string> words = {"tessary-walk", "--from", "-", "-0", "--exclude", "*.tmp", "--exclude=*/c/*",
                                    "-x", "-j", "3", "--time-limit", "7", "--memory-limit", "2M", "--state", "s.db",
                                    "--full", "--retry-failed", "--failures", "f.txt", "-q", "a", "--", "-b"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  tessary::WalkOptions o;
  std::string error;
  ASSERT_TRUE(tessary::parse_walk_options(static_cast<int>(argv.size()), argv.data(), &o, &error)) << error;
  EXPECT_EQ(o.from, "-");
  EXPECT_TRUE(o.null_separated && o.one_file_system && o.full && o.retry_failed && o.quiet);
  EXPECT_EQ(o.excludes, (std::vector<std::string>{"*.tmp", "*/c/*"}));
  EXPECT_EQ(o.jobs, 3);
  EXPECT_EQ(o.time_limit_seconds, 7);
  EXPECT_EQ(o.memory_limit, 2u << 20);
  EXPECT_EQ(o.state, "s.db");
  EXPECT_EQ(o.failures, "f.txt");
  EXPECT_EQ(o.paths, (std::vector<std::string>{"a", "-b"}));
}

TEST(WalkTree, ExclusionMatchesTheWholePathLikeFindPath) {
  // find -path semantics: "*" and "?" match "/" as well, and the pattern covers the whole path.
  EXPECT_TRUE(tessary::path_excluded("top/a/b/x.tmp", {"*.tmp"}));
  EXPECT_TRUE(tessary::path_excluded("top/a/cache/b/x", {"*/cache/*"}));
  EXPECT_TRUE(tessary::path_excluded("a/b", {"a?b"}));
  EXPECT_FALSE(tessary::path_excluded("top/a/x.tmp.txt", {"*.tmp"}));
  EXPECT_FALSE(tessary::path_excluded("top/cache", {"*/cache/*"}));
  EXPECT_FALSE(tessary::path_excluded("x.tmp", {"top/*"}));
  EXPECT_TRUE(tessary::path_excluded("x.tmp", {"top/*", "x.*"}));
}

TEST(WalkSupervisor, HeavyKindsByExtension) {
  for (const char* heavy : {"a.doc", "d/b.DOCX", "c.xls", "e.XlsX", "p.exe", "q.dll", "r.COM"})
    EXPECT_TRUE(tessary::heavy_by_name(heavy)) << heavy;
  for (const char* light : {"a.txt", "doc", "x.doc/y", "z.docxx", "w.pdf", ".exe.txt"})
    EXPECT_FALSE(tessary::heavy_by_name(light)) << light;
}

// Every entry of a walk as "KIND PATH" lines, sorted (the order within a directory is the
// file system's).
std::vector<std::string> walk_all(tessary::TreeWalk* walk) {
  std::vector<std::string> seen;
  tessary::Entry e;
  while (walk->next(&e)) {
    const char* kind = e.kind == tessary::EntryKind::kFile       ? "file "
                       : e.kind == tessary::EntryKind::kSpecial  ? "special "
                       : e.kind == tessary::EntryKind::kExcluded ? "excluded "
                                                                 : "unreadable ";
    seen.push_back(kind + e.path);
  }
  std::sort(seen.begin(), seen.end());
  return seen;
}

TEST(WalkTree, EntriesOfAHostileTree) {
  harness::TempDir dir;
  const std::string t = dir.file("t");
  const std::string long_name(255, 'n');
  ASSERT_EQ(mkdir(t.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((t + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((t + "/skip").c_str(), 0755), 0);
  harness::write_file(t + "/plain.txt", "x");
  harness::write_file(t + "/new\nline", "x");
  harness::write_file(t + "/\xff\xfe not utf-8", "x");
  harness::write_file(t + "/sub/" + long_name, "x");
  harness::write_file(t + "/skip/hidden.txt", "x");
  harness::write_file(t + "/sub/drop.tmp", "x");
  ASSERT_EQ(mkfifo((t + "/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("plain.txt", (t + "/file-link").c_str()), 0);
  ASSERT_EQ(symlink("sub", (t + "/dir-link").c_str()), 0);
  // A path of about 4,000 bytes: nested directories of 200-byte names.
  std::string deep = t + "/deep";
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  while (deep.size() < 3800) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size();
  }
  const std::string deep_file = deep + "/" + std::string(3989 - deep.size(), 'f');
  harness::write_file(deep_file, "x");
  ASSERT_EQ(deep_file.size(), 3990u);

  tessary::TreeWalk walk(tessary::TreeOptions{{t + "/skip", "*.tmp"}, false, 4095});
  walk.add_path(t);
  walk.add_path(t + "/dir-link");  // a link given by the user is followed once
  walk.add_path(dir.file("missing"));
  const std::vector<std::string> expected = [&] {
    std::vector<std::string> v = {"excluded " + t + "/skip",
                                  "excluded " + t + "/sub/drop.tmp",
                                  "excluded " + t + "/dir-link/drop.tmp",
                                  "file " + t + "/\xff\xfe not utf-8",
                                  "file " + deep_file,
                                  "file " + t + "/new\nline",
                                  "file " + t + "/plain.txt",
                                  "file " + t + "/sub/" + long_name,
                                  "file " + t + "/dir-link/" + long_name,
                                  "special " + t + "/pipe",
                                  "unreadable " + dir.file("missing")};
    std::sort(v.begin(), v.end());
    return v;
  }();
  EXPECT_EQ(walk_all(&walk), expected);
}

TEST(WalkTree, NamesFromAListEndAtNulOrLineFeed) {
  harness::TempDir dir;
  harness::write_file(dir.file("a b"), "x");
  harness::write_file(dir.file("c\nd"), "x");
  const std::string list = dir.file("a b") + std::string(1, '\0') + dir.file("c\nd") + std::string(2, '\0');
  FILE* in = fmemopen(const_cast<char*>(list.data()), list.size(), "r");
  ASSERT_NE(in, nullptr);
  tessary::TreeWalk walk(tessary::TreeOptions{});
  walk.add_list(in, /*null_separated=*/true);
  EXPECT_EQ(walk_all(&walk), (std::vector<std::string>{"file " + dir.file("a b"), "file " + dir.file("c\nd")}));
  fclose(in);
}

TEST(WalkState, RemembersDeliveredAndPoisonAcrossReopening) {
  harness::TempDir dir;
  const std::string db = dir.file("state/nested/walk.db");
  harness::write_file(dir.file("f"), "hello");
  struct stat st {};
  ASSERT_EQ(stat(dir.file("f").c_str(), &st), 0);
  std::string error, reason;
  tessary::Known known;
  {
    tessary::WalkState state;
    ASSERT_TRUE(state.open(db, &error)) << error;
    ASSERT_TRUE(state.lookup("f", st, &known, &reason, &error));
    EXPECT_EQ(known, tessary::Known::kNew);
    ASSERT_TRUE(state.mark_delivered("f", st, &error)) << error;
    ASSERT_TRUE(state.mark_poison(std::string("p\0q", 3), st, "timed out", &error)) << error;
  }
  tessary::WalkState state;
  ASSERT_TRUE(state.open(db, &error)) << error;
  ASSERT_TRUE(state.lookup("f", st, &known, &reason, &error));
  EXPECT_EQ(known, tessary::Known::kUnchanged);
  ASSERT_TRUE(state.lookup(std::string("p\0q", 3), st, &known, &reason, &error));
  EXPECT_EQ(known, tessary::Known::kPoison);
  EXPECT_EQ(reason, "timed out");
  // Any one of the remembered facts changed: the file is new again.
  for (int field = 0; field < 5; ++field) {
    struct stat changed = st;
    if (field == 0) changed.st_ctim.tv_nsec += 1;
    if (field == 1) changed.st_mtim.tv_nsec += 1;
    if (field == 2) changed.st_size += 1;
    if (field == 3) changed.st_ino += 1;
    if (field == 4) changed.st_dev += 1;
    ASSERT_TRUE(state.lookup("f", changed, &known, &reason, &error));
    EXPECT_EQ(known, tessary::Known::kNew) << field;
  }
  // A poison stays one until its size or modification time changes.
  struct stat touched = st;
  touched.st_ctim.tv_sec += 5;
  ASSERT_TRUE(state.lookup(std::string("p\0q", 3), touched, &known, &reason, &error));
  EXPECT_EQ(known, tessary::Known::kPoison);
  touched.st_mtim.tv_sec += 1;
  ASSERT_TRUE(state.lookup(std::string("p\0q", 3), touched, &known, &reason, &error));
  EXPECT_EQ(known, tessary::Known::kNew);
}

TEST(WalkState, AFileThatIsNotADatabaseIsAnError) {
  harness::TempDir dir;
  harness::write_file(dir.file("junk.db"), std::string(4096, 'j'));
  tessary::WalkState state;
  std::string error;
  EXPECT_FALSE(state.open(dir.file("junk.db"), &error));
  EXPECT_NE(error.find("state file " + dir.file("junk.db")), std::string::npos) << error;
}

TEST(WalkSummary, GoldenText) {
  tessary::WalkCounts c;
  c.found = 20;
  c.indexed = 12;
  c.unchanged = 3;
  c.crashed = 1;
  c.timed_out = 2;
  c.not_delivered = 1;
  c.skipped_poison = 1;
  c.excluded = 4;
  c.special = 5;
  EXPECT_EQ(tessary::format_summary(c, 2.0),
            "tessary-walk: indexed 12, unchanged 3, failed 4 (crashed 1, timed out 2, memory 0, unreadable 0, "
            "not delivered 1)\n"
            "tessary-walk: skipped as failed before 1, excluded 4, special files 5\n"
            "tessary-walk: 2.00 s, 10 files/s\n");
  EXPECT_EQ(tessary::format_progress(c, 2.0, false, 0), "20 done, 20 found, 10 files/s, 4 failed");
  EXPECT_EQ(tessary::format_progress(c, 2.0, true, 40), "20 of 40 files, 10 files/s, 4 failed, ETA 0:02");
  // Files found since the count (made while the walk went on) raise the total.
  c.found = 50;
  EXPECT_EQ(tessary::format_progress(c, 2.0, true, 40), "20 of 50 files, 10 files/s, 4 failed, ETA 0:03");
}

}  // namespace
