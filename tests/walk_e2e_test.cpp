// tessary-walk as a whole: records byte for byte those of single runs, poison files, resumption
// after kill -9, an unreachable server, stop signals, and the walk's choices of what to index.
// Every run happens inside a private mount namespace with the sandbox's configuration and log
// directories bound over /etc/vq and /var/log, against a receiver on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

extern char** environ;

namespace {

std::string walk_binary() {
  const char* over = getenv("TESSARY_WALK_BIN");
  return over ? over : TESSARY_WALK_BINARY;
}

// A record without its stamp: what must be equal between a walk and a single run.
std::string without_stamp(const std::string& delivery) {
  std::string record, rest;
  if (!harness::split_delivery(delivery, &record, &rest) || rest != "quit\r\n") return "(incomplete) " + delivery;
  const std::size_t end = record.rfind("@@ENDE@@' '");
  return end == std::string::npos ? "(no frame) " + record : record.substr(0, end);
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// One test's world: sandbox, receiver, a tree to walk, a state file, fake tools, and a mark in
// the environment of every process the runs start.
struct Rig {
  harness::Sandbox box;
  harness::Receiver receiver;
  std::string tree = box.root.file("tree");
  std::string state = box.root.file("state/walk.db");
  std::string fakes = box.root.file("bin");
  std::string spool = box.root.file("spool/");
  std::string mark = "TESSARY_WALK_MARK=" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}());
  std::vector<std::string> config = harness::default_config(receiver.port());
  std::map<std::string, std::string> env;
  std::size_t seen = 0;

  Rig() {
    mkdir(tree.c_str(), 0755);
    mkdir(fakes.c_str(), 0755);
    mkdir(spool.c_str(), 0755);
    config[8] = spool;
    box.set_config(config);
    env[mark.substr(0, mark.find('='))] = mark.substr(mark.find('=') + 1);
    env["PATH"] = fakes + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  }

  // The command line that runs `binary` with `args` in the namespace; `pre` is shell text run
  // there first (it ends in "&&" or is empty).
  std::vector<std::string> argv(const std::string& binary, const std::vector<std::string>& args,
                                const std::string& pre = "") const {
    std::vector<std::string> v = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                                  "mount --bind \"$1\" /etc/vq && mount --bind \"$2\" /var/log && " + pre +
                                      " shift 2; exec \"$@\"",
                                  "sh", box.etc_dir, box.log_dir, binary};
    v.insert(v.end(), args.begin(), args.end());
    return v;
  }
  harness::ProcessResult walk(std::vector<std::string> args, int timeout_s = 120, const std::string& pre = "") {
    args.insert(args.begin(), {"--state", state});
    return harness::run_process(argv(walk_binary(), args, pre), env, timeout_s);
  }
  harness::ProcessResult single(const std::string& path, const std::string& pre = "") {
    return harness::run_process(argv(harness::tessary_binary(), {path}, pre), env, 180);
  }
  // Deliveries that arrived since the last call (after the runs that made them have ended).
  std::vector<std::string> fresh() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<std::string> all = receiver.connections();
    std::vector<std::string> out(all.begin() + static_cast<long>(std::min(seen, all.size())), all.end());
    seen = all.size();
    return out;
  }
  // The record paths ("#PFAD#") of fresh complete deliveries; `incomplete` counts the others (a
  // run ended while it was sending).
  std::multiset<std::string> fresh_paths(std::size_t* incomplete = nullptr) {
    std::multiset<std::string> paths;
    for (const std::string& d : fresh()) {
      std::string record, rest;
      if (harness::split_delivery(d, &record, &rest) && rest == "quit\r\n" && !harness::parse_record(d).empty())
        paths.insert(harness::parse_record(d)["#PFAD#"]);
      else if (incomplete != nullptr)
        ++*incomplete;
      else
        ADD_FAILURE() << "incomplete delivery: " << d;
    }
    return paths;
  }
  std::vector<harness::ProcessInfo> leftovers() const { return harness::processes_with_environment(mark); }
};

void write_text_files(const std::string& dir, int n) {
  mkdir(dir.c_str(), 0755);
  for (int i = 0; i < n; ++i)
    harness::write_file(dir + "/t" + std::to_string(i) + ".txt", "Line One of " + std::to_string(i) + "\nLine Two\n");
}

// ------------------------------------------------------------------------------------------------

TEST(WalkGolden, RecordsEqualThoseOfSingleRuns) {
  dispatcher_fixtures::RealTools tools;
  const std::string missing = dispatcher_fixtures::prepare_real_tools(&tools);
  if (!missing.empty()) GTEST_SKIP() << missing;
  const dispatcher_fixtures::Wine* wine = tools.wine;
  const std::string& office = tools.office;
  Rig rig;
  const std::string t = rig.tree;
  rig.config[7] = wine->program;
  rig.box.set_config(rig.config);
  rig.env["WINEPREFIX"] = wine->prefix;

  harness::write_file(t + "/utf8.txt", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\nZweite ZEILE\n");
  harness::write_file(t + "/latin1.txt", "Gr\xFC\xDF" "e aus K\xF6ln, eine Zeile in ISO-8859-1 mit \xE4\xF6\xFC\n");
  harness::write_file(t + "/utf16.txt", std::string("\xFF\xFE" "H\0i\0 \0T\0h\0e\0r\0e\0\n\0", 20));
  harness::write_file(t + "/empty", "");
  ASSERT_EQ(harness::make_pdf(t + "/report.pdf", {"Quarterly Report", "Revenue GREW", "Third line"}), "");
  ASSERT_EQ(dispatcher_fixtures::make_tone(t + "/tone.wav", 44100, 1, 1, 440), "");
  ASSERT_EQ(dispatcher_fixtures::make_flac(t + "/tone.wav", t + "/tone.flac"), "");
  ASSERT_EQ(harness::run_process({"metaflac", "--set-tag=TITLE=Tone", t + "/tone.flac"}).status, 0);
  ASSERT_EQ(dispatcher_fixtures::make_mp3(t + "/tone.wav", t + "/tone.mp3", 128), "");
  unlink((t + "/tone.wav").c_str());
  ASSERT_TRUE(harness::tag_mp3(t + "/tone.mp3", {"Title", "Artist", "Album", "Comment", "Genre", 2024, 3}));
  ASSERT_EQ(harness::run_process({"cp", office + "/made/words.docx", office + "/made/rows.xlsx", t}).status, 0);
  ASSERT_EQ(harness::run_process({"cp", wine->program, t + "/Show.exe"}).status, 0);
  // Names a shell, a tool or the record format could take for something else.
  const std::string hostile = t + "/hostile";
  mkdir(hostile.c_str(), 0755);
  for (const std::string& name : {std::string("-dash.txt"), std::string("quote'\"s.txt"), std::string("new\nline.txt"),
                                  std::string("\xFF\xFE not utf-8.txt"), std::string("UPPER Case.TXT"),
                                  std::string("#PFAD#@@ENDE@@.txt"), std::string("$(touch pwned).txt"),
                                  std::string(251, 'l') + ".txt"})
    harness::write_file(hostile + "/" + name, "Content of " + name + "\n");

  // The tree is bound read-only over itself: the runs cannot put times back, so each sees the
  // same status-change time and the records can be compared byte for byte.
  const std::string pre = "mount --bind \"" + t + "\" \"" + t + "\" && mount -o remount,bind,ro \"" + t + "\" &&";
  const std::string list = harness::run_process({"find", t, "-type", "f", "-print0"}).out;
  std::vector<std::string> expected;
  for (std::size_t start = 0, end; (end = list.find('\0', start)) != std::string::npos; start = end + 1) {
    const std::string path = list.substr(start, end - start);
    const harness::ProcessResult r = rig.single(path, pre);
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
  }
  for (const std::string& d : rig.fresh()) expected.push_back(without_stamp(d));
  ASSERT_EQ(expected.size(), 18u);

  const harness::ProcessResult walk = rig.walk({"-j2", t}, 300, pre);
  EXPECT_EQ(walk.status, 0) << walk.err;
  std::vector<std::string> got;
  for (const std::string& d : rig.fresh()) got.push_back(without_stamp(d));
  std::sort(expected.begin(), expected.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
  EXPECT_NE(walk.err.find("indexed 18, unchanged 0, failed 0"), std::string::npos) << walk.err;
  // Content was really rendered for the kinds that need a tool.
  const std::string all = [&] { std::string s; for (auto& g : got) s += g + "\n"; return s; }();
  for (const char* text : {"quarterly report", "first line of text", "apples", "windows program says hello",
                           "titel:title", "title=tone", "gr\xC3\xBC\xC3\x9f" "e aus k\xC3\xB6ln"})
    EXPECT_NE(all.find(text), std::string::npos) << text;
}

// ------------------------------------------------------------------------------------------------

TEST(WalkPoison, CrashHangAndMemoryAreRememberedSkippedAndRetried) {
  Rig rig;
  const std::string t = rig.tree;
  const std::string calls = rig.box.root.file("calls");
  // gs stands in for every fault: it ends the run that started it, hangs, or floods the run
  // with text that it keeps (a PDF's text is kept up to 16 MiB) and then hangs.
  harness::write_script(rig.fakes + "/gs",
                        "#!/bin/sh\necho \"$*\" >> '" + calls + "'\n"
                        "case \"$*\" in\n"
                        "  *crash*) kill -SEGV $PPID; sleep 5 ;;\n"
                        "  *hang*) exec sleep 1000 ;;\n"
                        "  *flood*) head -c 60000000 /dev/zero | tr '\\000' 'a'; exec sleep 1000 ;;\n"
                        "esac\n");
  for (const char* name : {"crash.pdf", "hang.pdf", "flood.pdf"})
    harness::write_file(t + "/" + name, "%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF\n");
  harness::write_file(t + "/good.txt", "Good Text\n");
  const std::string failures = rig.box.root.file("failures");
  const std::vector<std::string> args = {"-j3", "--time-limit", "3", "--memory-limit", "20M", "--failures", failures, t};

  const auto first = rig.walk(args);
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_NE(first.err.find("indexed 1, unchanged 0, failed 3 (crashed 1, timed out 1, memory 1,"), std::string::npos)
      << first.err;
  for (const char* line : {"/crash.pdf: crashed\n", "/hang.pdf: timed out\n", "/flood.pdf: memory\n"})
    EXPECT_NE(first.err.find(t + line), std::string::npos) << line << first.err;
  EXPECT_EQ(rig.fresh_paths(), (std::multiset<std::string>{harness::record_path(t + "/good.txt")}));
  std::vector<std::string> listed;
  for (std::size_t s = 0, e; (e = harness::read_file(failures).find('\n', s)) != std::string::npos; s = e + 1)
    listed.push_back(harness::read_file(failures).substr(s, e - s));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{t + "/crash.pdf", t + "/flood.pdf", t + "/hang.pdf"}));
  EXPECT_TRUE(rig.leftovers().empty());
  // The run ended by a signal logs its line, as tessary does.
  EXPECT_NE(rig.box.error_log().find(" # " + t + "/crash.pdf\n"), std::string::npos) << rig.box.error_log();

  const std::size_t calls_before = count_of(harness::read_file(calls), "\n");
  const auto second = rig.walk(args);
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_NE(second.err.find("indexed 0, unchanged 1, failed 0"), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("skipped as failed before 3"), std::string::npos) << second.err;
  EXPECT_EQ(count_of(harness::read_file(calls), "\n"), calls_before);
  EXPECT_TRUE(rig.fresh().empty());

  std::vector<std::string> retry = args;
  retry.insert(retry.begin(), "--retry-failed");
  const auto third = rig.walk(retry);
  EXPECT_EQ(third.status, 1) << third.err;
  EXPECT_NE(third.err.find("failed 3 (crashed 1, timed out 1, memory 1,"), std::string::npos) << third.err;
  EXPECT_EQ(count_of(harness::read_file(calls), "\n"), calls_before + 3);
  EXPECT_TRUE(rig.leftovers().empty());

  // A poison that changes is tried again without being asked.
  harness::write_file(t + "/hang.pdf", "%PDF-1.4\n% now longer\n%%EOF\n");
  harness::write_script(rig.fakes + "/gs", "#!/bin/sh\necho Fixed Text\n");
  const auto fourth = rig.walk(args);
  EXPECT_NE(fourth.err.find("indexed 1, unchanged 1, failed 0"), std::string::npos) << fourth.err;
  EXPECT_NE(fourth.err.find("skipped as failed before 2"), std::string::npos) << fourth.err;
}

// ------------------------------------------------------------------------------------------------

TEST(WalkResume, KillNineAtRandomMomentsThenEveryRecordOnce) {
  Rig rig;
  write_text_files(rig.tree + "/a", 150);
  write_text_files(rig.tree + "/b", 150);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::multiset<std::string> delivered;
  for (int round = 0; round < 4; ++round) {
    std::vector<std::string> words = rig.argv(walk_binary(), {"--state", rig.state, "-j2", rig.tree});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string(*e).rfind("PATH=", 0) != 0) env_words.push_back(*e);
    for (const auto& [k, v] : rig.env) env_words.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "unshare", nullptr, nullptr, argv.data(), envp.data()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 400)(random)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    // A run ended by the walk's death while it was sending leaves a delivery without its end.
    std::size_t incomplete = 0;
    for (const std::string& p : rig.fresh_paths(&incomplete)) delivered.insert(p);
    EXPECT_LE(incomplete, 2u);
  }
  const auto last = rig.walk({"-j2", rig.tree});
  EXPECT_EQ(last.status, 0) << last.err;
  for (const std::string& p : rig.fresh_paths()) delivered.insert(p);
  std::set<std::string> expected;
  for (const char* dir : {"/a/t", "/b/t"})
    for (int i = 0; i < 150; ++i) expected.insert(harness::record_path(rig.tree + dir + std::to_string(i) + ".txt"));
  EXPECT_EQ(std::set<std::string>(delivered.begin(), delivered.end()), expected);
  // At most what the open transaction held at each kill was delivered twice.
  EXPECT_LT(delivered.size(), expected.size() + 4 * 2 * 256);

  const auto again = rig.walk({"-j2", rig.tree});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("indexed 0, unchanged 300, failed 0"), std::string::npos) << again.err;
  EXPECT_TRUE(rig.fresh().empty());
  EXPECT_TRUE(rig.leftovers().empty());
}

// ------------------------------------------------------------------------------------------------

TEST(WalkServer, UnreachableStopsEarlyAndMarksNothing) {
  Rig rig;
  write_text_files(rig.tree, 60);
  // A port nobody listens on: bound, then closed.
  int closed_port = 0;
  { harness::Receiver gone; closed_port = gone.port(); }
  std::vector<std::string> config = rig.config;
  config[1] = std::to_string(closed_port);
  rig.box.set_config(config);
  const auto down = rig.walk({"-j2", rig.tree});
  EXPECT_EQ(down.status, 1) << down.err;
  EXPECT_EQ(count_of(down.err, "cannot be reached"), 1u) << down.err;
  EXPECT_LE(count_of(down.err, "tessary: cannot connect"), 4u) << down.err;
  EXPECT_NE(down.err.find("indexed 0,"), std::string::npos) << down.err;

  rig.box.set_config(rig.config);
  const auto up = rig.walk({"-j2", rig.tree});
  EXPECT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(rig.fresh().size(), 60u);
}

// ------------------------------------------------------------------------------------------------

TEST(WalkSignals, SigtermAndSigintStopInOrder) {
  for (const int sig : {SIGTERM, SIGINT}) {
    Rig rig;
    harness::write_script(rig.fakes + "/gs", "#!/bin/sh\nexec sleep 1000\n");
    harness::write_file(rig.tree + "/hang.pdf", "%PDF-1.4\n%%EOF\n");
    const std::string log = rig.box.root.file("walk.err");
    std::vector<std::string> words = rig.argv("sh", {"-c", "exec \"$0\" \"$@\" 2> " + log, walk_binary(), "--state",
                                                     rig.state, "-j2", rig.tree});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words = {"PATH=" + rig.env["PATH"], rig.mark};
    std::vector<char*> envp;
    for (std::string& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "unshare", nullptr, nullptr, argv.data(), envp.data()), 0);
    // Wait for the converter to be running, then stop the walk.
    bool running = false;
    for (int i = 0; i < 500 && !running; ++i) {
      for (const auto& p : rig.leftovers()) running = running || p.name == "sleep";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(running);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    const std::string err = harness::read_file(log);
    EXPECT_NE(err.find("interrupted 1"), std::string::npos) << err;
    EXPECT_TRUE(rig.leftovers().empty());
    // Not a poison: the next walk tries it again.
    harness::write_script(rig.fakes + "/gs", "#!/bin/sh\necho Now Text\n");
    const auto again = rig.walk({rig.tree});
    EXPECT_NE(again.err.find("indexed 1,"), std::string::npos) << again.err;
  }
}

// ------------------------------------------------------------------------------------------------

TEST(WalkChoices, ExclusionsSpecialsLinksFileSystemsListsAndChanges) {
  Rig rig;
  const std::string t = rig.tree;
  for (const char* dir : {"/keep", "/cache", "/mnt", "/keep/deeper"}) mkdir((t + dir).c_str(), 0755);
  harness::write_file(t + "/keep/a.txt", "A\n");
  harness::write_file(t + "/keep/deeper/b.txt", "B\n");
  harness::write_file(t + "/keep/c.tmp", "C\n");
  harness::write_file(t + "/cache/d.txt", "D\n");
  mkfifo((t + "/keep/pipe").c_str(), 0644);
  symlink("a.txt", (t + "/keep/link.txt").c_str());
  const std::string outside = rig.box.root.file("outside.txt");
  harness::write_file(outside, "Outside\n");
  symlink(outside.c_str(), rig.box.root.file("given-link").c_str());
  // A file system of its own under the tree, made in the namespace of the walk.
  const std::string pre = "mount -t tmpfs none \"" + t + "/mnt\" && echo Inner > \"" + t + "/mnt/inner.txt\" &&";

  struct stat before {};
  ASSERT_EQ(stat((t + "/keep/a.txt").c_str(), &before), 0);
  const auto r = rig.walk({"-x", "--exclude", "*/cache", "--exclude", "*.tmp", t, rig.box.root.file("given-link")},
                          120, pre);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rig.fresh_paths(),
            (std::multiset<std::string>{harness::record_path(t + "/keep/a.txt"),
                                        harness::record_path(t + "/keep/deeper/b.txt"),
                                        harness::record_path(rig.box.root.file("given-link"))}));
  EXPECT_NE(r.err.find("excluded 2, special files 1"), std::string::npos) << r.err;
  // The run put the times back, as tessary does.
  struct stat after {};
  ASSERT_EQ(stat((t + "/keep/a.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
  EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

  // Names from a NUL-separated list; a changed file is indexed again, the others are unchanged.
  harness::write_file(t + "/keep/deeper/b.txt", "B changed\n");
  const std::string list = rig.box.root.file("list");
  harness::write_file(list, t + "/keep/a.txt" + std::string(1, '\0') + t + "/keep/deeper/b.txt" + std::string(1, '\0'));
  const auto listed = rig.walk({"--from", list, "-0"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(rig.fresh_paths(), (std::multiset<std::string>{harness::record_path(t + "/keep/deeper/b.txt")}));
  EXPECT_NE(listed.err.find("indexed 1, unchanged 1,"), std::string::npos) << listed.err;
  // --full indexes unchanged files too.
  const auto full = rig.walk({"--full", t + "/keep"});
  EXPECT_EQ(rig.fresh().size(), 3u) << full.err;  // c.tmp is not excluded this time
}

TEST(WalkCli, HelpVersionAndErrorStatuses) {
  Rig rig;
  const auto help = rig.walk({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--from", "--null", "--exclude", "--one-file-system", "--jobs", "--time-limit",
                             "--memory-limit", "--state", "--full", "--retry-failed", "--failures", "--quiet",
                             "--help", "--version", "Exit status"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(rig.walk({"--version"}).out, "tessary-walk 1.0.0\n");
  const auto usage = rig.walk({"--jobs", "many", rig.tree});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("tessary-walk: invalid number of jobs 'many'"), std::string::npos) << usage.err;
  // A state file that cannot be made: usage-class error, and the message says it is the state.
  const auto state = harness::run_process(rig.argv(walk_binary(), {"--state", "/proc/version/walk.db", rig.tree}), rig.env);
  EXPECT_EQ(state.status, 2);
  EXPECT_NE(state.err.find("tessary-walk: state file /proc/version/walk.db"), std::string::npos) << state.err;
  // No configuration: tessary's own message, and status 1 as tessary has.
  rig.box.set_config_text("");
  const auto config = rig.walk({rig.tree});
  EXPECT_EQ(config.status, 1);
  EXPECT_NE(config.err.find("/etc/vq/config.cfg holds 0 values"), std::string::npos) << config.err;
}

}  // namespace

namespace {

TEST(WalkChoices, UnreadableDirectoryIsReportedAndTheWalkGoesOn) {
  Rig rig;
  // The walk runs as nobody, which may read everything of the sandbox but the locked directory.
  chmod(rig.box.root.path.c_str(), 0755);
  mkdir(rig.box.root.file("state").c_str(), 0755);
  chmod(rig.box.root.file("state").c_str(), 0777);
  for (const char* dir : {"/open", "/locked"}) mkdir((rig.tree + dir).c_str(), 0755);
  harness::write_file(rig.tree + "/open/a.txt", "A\n");
  harness::write_file(rig.tree + "/locked/b.txt", "B\n");
  chmod((rig.tree + "/locked").c_str(), 0);
  const std::string failures = rig.box.root.file("state/failures");
  std::vector<std::string> args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", walk_binary(),
                                   "--state", rig.state, "-0", "--failures", failures, rig.tree};
  const auto r = harness::run_process(rig.argv(args[0], std::vector<std::string>(args.begin() + 1, args.end())),
                                      rig.env);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("tessary-walk: " + rig.tree + "/locked: Permission denied\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("indexed 1, unchanged 0, failed 1 (crashed 0, timed out 0, memory 0, unreadable 1,"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(harness::read_file(failures), rig.tree + "/locked" + std::string(1, '\0'));
  EXPECT_EQ(rig.fresh_paths(), (std::multiset<std::string>{harness::record_path(rig.tree + "/open/a.txt")}));
}

TEST(WalkChoices, OfficeConversionsRunAtMostOnePerTwoJobs) {
  Rig rig;
  const std::string& office = dispatcher_fixtures::office_dir();
  if (office.empty()) GTEST_SKIP() << "libreoffice is not installed (it makes the Word fixture)";
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(harness::run_process({"cp", office + "/made/words.docx", rig.tree + "/w" + std::to_string(i) + ".docx"})
                  .status,
              0);
  write_text_files(rig.tree + "/text", 40);
  // The fake converter counts the conversions running at its start, and takes its time.
  const std::string running = rig.box.root.file("running");
  mkdir(running.c_str(), 0755);
  harness::write_script(rig.fakes + "/libreoffice",
                        "#!/bin/sh\nmkdir '" + running + "'/$$\nls '" + running + "' | wc -l >> '" + running +
                            ".counts'\nsleep 0.4\nrmdir '" + running + "'/$$\necho Converted Text\n");
  const auto r = rig.walk({"-j4", rig.tree});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("indexed 44,"), std::string::npos) << r.err;
  const std::string counts = harness::read_file(running + ".counts");
  EXPECT_EQ(count_of(counts, "\n"), 4u) << counts;
  EXPECT_EQ(counts.find_first_not_of("12\n"), std::string::npos) << counts;
  EXPECT_EQ(rig.fresh().size(), 44u);
}

}  // namespace

namespace {

TEST(WalkWorkers, ReplacedAfterAThousandFilesWithoutLosingOne) {
  Rig rig;
  // One worker takes 1,000 files and is then replaced; every file must still be indexed once.
  write_text_files(rig.tree, 1005);
  const auto r = rig.walk({"-j1", rig.tree}, 300);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("indexed 1005, unchanged 0, failed 0"), std::string::npos) << r.err;
  EXPECT_EQ(rig.fresh_paths().size(), 1005u);
  EXPECT_TRUE(rig.leftovers().empty());
}

}  // namespace
