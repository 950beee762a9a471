// End-to-end runs of the built program through the content dispatcher: office runs converting at
// the same time, a Windows program under wine, and the exact tool arguments seen from outside.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

using dispatcher_fixtures::kOtherRows;
using dispatcher_fixtures::kSheetRows;
using dispatcher_fixtures::kWordLines;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

/// The first `n` lines as the record carries them: lowercased, line feeds removed.
std::string record_text(const std::vector<std::string>& lines, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += lower(lines[i]);
  return text;
}

/// The record of one connection, split into its fields; empty when the delivery is incomplete.
std::map<std::string, std::string> record_of(const std::string& connection) {
  std::string record, rest;
  if (!harness::split_delivery(connection, &record, &rest) || rest != "quit\r\n") return {};
  return harness::parse_record(connection);
}

std::vector<std::string> entries(const std::string& dir) {
  std::istringstream in(harness::run_process({"ls", "-A", dir}).out);
  std::vector<std::string> names;
  for (std::string name; std::getline(in, name);) names.push_back(name);
  return names;
}

TEST(DispatcherEndToEnd, FourOfficeRunsAtOnceEachGetTheirOwnContent) {
  const std::string& made = dispatcher_fixtures::office_dir();
  if (made.empty()) GTEST_SKIP() << "libreoffice is not installed";
  harness::Receiver receiver;
  harness::Sandbox box;
  std::vector<std::string> config = harness::default_config(receiver.port());
  const std::string work = box.root.file("work") + "/";
  mkdir(work.c_str(), 0755);
  config[8] = work;
  box.set_config(config);

  // Two Memo.docx and a Budget.xlsx beside a Budget.xls of other content: the spreadsheets give
  // the same csv name, the documents the same file name.
  struct Run {
    std::string source, name, want, unwanted;
  };
  const std::vector<Run> runs = {
      {"words.docx", "Memo.docx", record_text(kWordLines, 6), lower(kWordLines[6])},
      {"rows.xlsx", "Budget.xlsx", record_text(kSheetRows, 6), lower(kSheetRows[6])},
      {"words.docx", "Memo.docx", record_text(kWordLines, 6), lower(kWordLines[6])},
      {"other.xls", "Budget.xls", record_text(kOtherRows, 6), lower(kOtherRows[6])},
  };
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::string folder = box.root.file("folder" + std::to_string(i));
    mkdir(folder.c_str(), 0755);
    paths.push_back(folder + "/" + runs[i].name);
    harness::write_file(paths.back(), harness::read_file(made + "/made/" + runs[i].source));
  }
  std::vector<harness::ProcessResult> results(runs.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < runs.size(); ++i)
    threads.emplace_back([&, i] { results[i] = box.run({paths[i]}); });
  for (auto& t : threads) t.join();

  std::vector<std::string> got = receiver.wait_connections(runs.size(), 20000);
  ASSERT_EQ(got.size(), runs.size());
  bool overloaded = false;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::printf("[ timing   ] %s (4 runs at once): %.2f s\n", runs[i].name.c_str(), results[i].seconds);
    EXPECT_EQ(results[i].status, 0);
    // Records arrive in any order: find this run's by its path.
    std::map<std::string, std::string> fields;
    for (const std::string& connection : got) {
      auto f = record_of(connection);
      if (f["#PFAD#"] == lower(paths[i])) fields = f;
    }
    ASSERT_FALSE(fields.empty()) << "no complete record for " << paths[i];
    const std::string& content = fields["#INHALT#"];
    if (content.empty() && results[i].seconds >= 30) {
      overloaded = true;  // the conversion used up its whole time limit
      continue;
    }
    EXPECT_NE(content.find(runs[i].want), std::string::npos) << content;
    EXPECT_EQ(content.find(runs[i].unwanted), std::string::npos) << content;
  }
  EXPECT_TRUE(entries(work).empty());
  EXPECT_TRUE(harness::processes_matching(box.root.path).empty()) << "an office process outlived its run";
  if (overloaded) GTEST_SKIP() << "machine too busy: a conversion used up its whole time limit";
}

TEST(DispatcherEndToEnd, WindowsProgramOutputInTheRecord) {
  const dispatcher_fixtures::Wine* wine = dispatcher_fixtures::wine();
  if (!wine) GTEST_SKIP() << "wine or mingw-w64 is not installed";
  harness::Receiver receiver;
  harness::Sandbox box;
  std::vector<std::string> config = harness::default_config(receiver.port());
  config[7] = wine->program;
  box.set_config(config);
  // A bare DOS program and a Windows program, each indexed with the Windows program.
  for (const std::string& path : {wine->stub, wine->program}) {
    auto result = box.run({path}, {{"WINEPREFIX", wine->prefix}});
    EXPECT_EQ(result.status, 0);
    std::printf("[ timing   ] run on %s: %.2f s\n", path.substr(path.rfind('/') + 1).c_str(), result.seconds);
  }
  std::vector<std::string> got = receiver.wait_connections(2);
  ASSERT_EQ(got.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    auto fields = record_of(got[i]);
    ASSERT_FALSE(fields.empty());
    const std::string& content = fields["#INHALT#"];
    EXPECT_EQ(content.find("windows program says hello"), 0u) << content;
    EXPECT_NE(content.find("arg[1]=" + fields["#PFAD#"]), std::string::npos) << content;
  }
  EXPECT_TRUE(harness::processes_matching(wine->program).empty());
}

TEST(DispatcherEndToEnd, ToolsSeeExactlyTheirArguments) {
  // Fake tools record what the program starts them with; hostile names arrive unchanged and
  // nothing in them runs.
  harness::Receiver receiver;
  harness::Sandbox box;
  const std::string bin = box.root.file("bin");
  mkdir(bin.c_str(), 0755);
  const std::string log = box.root.file("args");
  const std::string record = "for a in \"$@\"; do printf '%s\\0' \"$a\"; done >> '" + log + "'\nprintf '\\n\\0' >> '" + log + "'\n";
  harness::write_script(bin + "/libreoffice", "#!/bin/sh\n" + record +
                                                  "for i in 1 2 3 4 5 6 7 8; do echo \"Word Line $i\"; done\n");
  harness::write_script(bin + "/wine", "#!/bin/sh\n" + record + "echo \"From WINE $WINEDEBUG\"\n");
  std::vector<std::string> config = harness::default_config(receiver.port());
  config[7] = "C:\\Program Files\\Dump.exe";
  box.set_config(config);

  const std::string dir = box.root.file("it's \"odd\" $(touch PWNED) `touch PWNED`");
  mkdir(dir.c_str(), 0755);
  const std::string doc = dir + "/-Letter $HOME.doc";
  const std::string exe = dir + "/setup \\ it.exe";
  std::string stub(64, '\0');
  stub[0] = 'M', stub[1] = 'Z', stub[2] = 64, stub[4] = 1, stub[8] = 4;
  harness::write_file(exe, stub);
  const std::string path_env = bin + ":" + std::string(getenv("PATH"));
  auto r = box.run({exe}, {{"PATH", path_env}}, 60, box.root.path);
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> got = receiver.wait_connections(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(record_of(got[0])["#INHALT#"], "from wine fixme-all,err-all,warn+cursor,-all");
  std::string args = harness::read_file(log);
  EXPECT_EQ(args, config[7] + '\0' + exe + std::string("\0\n\0", 3));

  // A real .doc, made by libreoffice, under a name with a leading "-" and a "$".
  if (dispatcher_fixtures::office_dir().empty()) GTEST_SKIP() << "libreoffice is not installed (for the .doc)";
  harness::write_file(doc, harness::read_file(dispatcher_fixtures::office_dir() + "/made/words.doc"));
  unlink(log.c_str());
  r = box.run({doc}, {{"PATH", path_env}}, 60, box.root.path);
  EXPECT_EQ(r.status, 0);
  got = receiver.wait_connections(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(record_of(got[1])["#INHALT#"], "word line 1word line 2word line 3word line 4word line 5word line 6");
  args = harness::read_file(log);
  const std::string tail = std::string("--cat\0--headless\0", 17) + doc + std::string("\0\n\0", 3);
  EXPECT_EQ(args.rfind("-env:UserInstallation=file:///", 0), 0u) << args;
  ASSERT_GE(args.size(), tail.size());
  EXPECT_EQ(args.substr(args.size() - tail.size()), tail);
  struct stat st;
  EXPECT_NE(stat(box.root.file("PWNED").c_str(), &st), 0);
}

}  // namespace
