// The content dispatcher: branch choice, the hand-over of paths to the tools, and real
// conversions with libreoffice and wine on fixtures that the tests make themselves.
#include "extract/dispatcher.h"

#include <gtest/gtest.h>
#include <magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <cstdlib>
#include <memory>
#include <thread>

#include "process/command.h"
#include "readers/slots.h"
#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

const char* const kDocx = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
const char* const kXlsx = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
const char* const kPe = "application/vnd.microsoft.portable-executable";
const std::string kBom = "\xEF\xBB\xBF";

/// One call of read_content: the path is split the way the run splits it.
struct Call {
  std::string path;
  std::string mime;
  std::string work_directory = "/tmp/";
  std::string windows_program;
  std::string word = "true", sheet = "true", exe = "true", media = "true", pdf = "true";
  std::string extension_after;  ///< the extension as read_content left it
  std::string returned;         ///< read_content's own result

  std::string run() {
    std::string file_name = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
    std::string extension = path.substr(path.rfind('.') == std::string::npos ? 0 : path.rfind('.') + 1);
    std::string content = "left over from before";
    std::string description = "data";
    returned = read_content(extension, file_name, path, content, mime, description, word, sheet, "1000", "100000",
                            exe, windows_program, work_directory, media, pdf);
    extension_after = extension;
    return content;
  }
};

std::string mime_of(const std::string& path) {
  magic_t cookie = magic_open(MAGIC_MIME_TYPE);
  if (!cookie || magic_load(cookie, nullptr) != 0) return "";
  const char* type = magic_file(cookie, path.c_str());
  std::string result = type ? type : "";
  magic_close(cookie);
  return result;
}

/// Entries of a directory other than "." and "..".
std::vector<std::string> entries(const std::string& dir) {
  std::istringstream in(harness::run_process({"ls", "-A", dir}).out);
  std::vector<std::string> names;
  std::string name;
  while (std::getline(in, name)) names.push_back(name);
  return names;
}

/// Splits a file of NUL-terminated arguments.
std::vector<std::string> nul_split(const std::string& data) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t nul; (nul = data.find('\0', start)) != std::string::npos; start = nul + 1)
    parts.push_back(data.substr(start, nul - start));
  return parts;
}

/// Runs the test body in `dir`, so that a name's "$(touch PWNED)" would land there.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) {
    char buf[4096];
    old_ = getcwd(buf, sizeof buf) ? buf : "/";
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
  }
  ~InDirectory() {
    if (chdir(old_.c_str()) != 0) std::abort();
  }

 private:
  std::string old_;
};

/// Puts a directory first on PATH for the lifetime of the object.
class PathFirst {
 public:
  explicit PathFirst(const std::string& dir) : old_(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin") {
    setenv("PATH", (dir + ":" + old_).c_str(), 1);
  }
  ~PathFirst() { setenv("PATH", old_.c_str(), 1); }

 private:
  std::string old_;
};

// ---------------------------------------------------------------------------------------------
// Branch choice and hand-over, with fake tools that record their arguments.

class DispatcherFake : public testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_.file("bin");
    mkdir(bin_.c_str(), 0755);
    // Each fake appends its arguments, each ended by a NUL, to a log named after the tool.
    const std::string record = "for a in \"$@\"; do printf '%s\\0' \"$a\"; done >> " + dir_.file("$(basename \"$0\").args") + "\n";
    harness::write_script(bin_ + "/libreoffice",
                          "#!/bin/bash\n" + record +
                              "if [ \"$2\" = --cat ]; then for i in 1 2 3 4 5 6 7 8 9; do echo \"Word Line $i\"; done; exit 0; fi\n"
                              "# --convert-to: write the csv where libreoffice would, under the input's base name\n"
                              "in=\"$5\"; out=\"$7\"; base=\"${in##*/}\"; base=\"${base%.*}\"\n"
                              "for i in 1 2 3 4 5 6 7 8; do echo \"Cell,$i,MiXeD\"; done > \"$out/$base.csv\"\n"
                              "echo \"convert $in -> $out/$base.csv\"\n");
    harness::write_script(bin_ + "/wine", "#!/bin/bash\n" + record +
                                              "printf '%s\\0' \"$WINEDEBUG\" > " + dir_.file("wine.env") +
                                              "\necho 'Hello From A WINDOWS Program'\nprintf 'NO LINE FEED'\n");
    work_ = dir_.file("work dir") + "/";  // a blank in the work directory
    mkdir(work_.c_str(), 0755);
  }

  std::vector<std::string> args_of(const std::string& tool) { return nul_split(harness::read_file(dir_.file(tool + ".args"))); }

  harness::TempDir dir_;
  std::string bin_, work_;
};

TEST_F(DispatcherFake, BranchesNeedTheirExactSwitchAndMime) {
  PathFirst path(bin_);
  Call c;
  c.path = dir_.file("Doc.DOCX");
  c.mime = kDocx;
  for (const char* off : {"True", "TRUE", " true", "true ", "false", ""}) {
    c.word = off;
    EXPECT_EQ(c.run(), "") << '"' << off << '"';
  }
  EXPECT_TRUE(args_of("libreoffice").empty());
  EXPECT_EQ(c.extension_after, "docx");

  // Other MIME types start nothing, whatever the switches say.
  for (const char* mime : {"application/octet-stream", "Application/msword", "text/html", "inode/x-empty"}) {
    Call other;
    other.path = dir_.file("x.exe");
    other.mime = mime;
    EXPECT_EQ(other.run(), "") << mime;
  }
  EXPECT_TRUE(args_of("libreoffice").empty());
  EXPECT_TRUE(args_of("wine").empty());
}

TEST_F(DispatcherFake, WordTextIsSixReadsWithExactArguments) {
  PathFirst path(bin_);
  for (const char* mime : {"application/msword", kDocx}) {
    Call c;
    c.path = dir_.file("Letter.doc");
    c.mime = mime;
    std::string want;
    for (int i = 1; i <= 6; ++i) want += "Word Line " + std::to_string(i) + "\n";
    EXPECT_EQ(c.run(), want);  // six reads, case kept
    EXPECT_EQ(c.returned, want);
  }
  std::vector<std::string> args = args_of("libreoffice");
  ASSERT_EQ(args.size(), 8u);
  // The profile argument comes first, then the command's own arguments.
  EXPECT_EQ(args[0].rfind("-env:UserInstallation=file:///", 0), 0u) << args[0];
  EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.begin() + 4),
            (std::vector<std::string>{"--cat", "--headless", dir_.file("Letter.doc")}));
}

TEST_F(DispatcherFake, SpreadsheetConvertedReadAndRemovedInAPrivateDirectory) {
  PathFirst path(bin_);
  Call c;
  c.path = dir_.file("Q1.XLS");
  c.mime = "application/vnd.ms-excel";
  c.work_directory = work_;
  std::string want;
  for (int i = 1; i <= 6; ++i) want += "Cell," + std::to_string(i) + ",MiXeD\n";
  EXPECT_EQ(c.run(), want);
  EXPECT_EQ(c.extension_after, "xls");
  std::vector<std::string> args = args_of("libreoffice");
  ASSERT_EQ(args.size(), 7u);
  EXPECT_EQ(args[0].rfind("-env:UserInstallation=file:///", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.begin() + 6),
            (std::vector<std::string>{"--convert-to", "csv", "--infilter=csv:44,34,76", c.path, "--outdir"}));
  // The work directory with its blank is one argument; the conversion goes to a private
  // directory inside it, which is gone afterwards with everything in it.
  const std::string& outdir = args[6];
  EXPECT_EQ(outdir.rfind(work_ + "tessary-", 0), 0u) << outdir;
  EXPECT_EQ(outdir.size(), work_.size() + 14 + 1);
  EXPECT_EQ(outdir.back(), '/');
  EXPECT_TRUE(entries(work_).empty());

  // xlsx cuts four characters; a name the converter does not write gives nothing and leaves
  // nothing behind either.
  Call x;
  x.path = dir_.file("Budget.xlsx");
  x.mime = kXlsx;
  x.work_directory = work_;
  EXPECT_EQ(x.run(), want);
  Call xlt;
  xlt.path = dir_.file("Q1.xlt");
  xlt.mime = "application/vnd.ms-excel";
  xlt.work_directory = work_;
  EXPECT_EQ(xlt.run(), "");  // csv name Q1csv
  EXPECT_TRUE(entries(work_).empty());
}

TEST_F(DispatcherFake, SpreadsheetEdgeCases) {
  PathFirst path(bin_);
  // Without its trailing "/" the read names a file beside the directory: nothing is appended,
  // and the directory the converter wrote into (beside the work directory) is removed.
  Call c;
  c.path = dir_.file("Budget.xlsx");
  c.mime = kXlsx;
  c.work_directory = dir_.file("work dir");
  EXPECT_EQ(c.run(), "");
  std::vector<std::string> args = args_of("libreoffice");
  ASSERT_EQ(args.size(), 7u);
  EXPECT_EQ(args[6].rfind(dir_.file("work dirtessary-"), 0), 0u) << args[6];
  for (const std::string& name : entries(dir_.path)) EXPECT_EQ(name.find("tessary-"), std::string::npos) << name;

  // A name shorter than the part to cut skips the branch.
  Call tiny;
  tiny.path = dir_.file("a.x");
  tiny.mime = kXlsx;
  tiny.work_directory = work_;
  EXPECT_EQ(tiny.run(), "");
  EXPECT_EQ(args_of("libreoffice").size(), 7u);  // not started again

  std::string csv;
  EXPECT_TRUE(tessary::csv_name_for("Q1.XLS", "xls", &csv));
  EXPECT_EQ(csv, "Q1.csv");
  EXPECT_TRUE(tessary::csv_name_for("xls", "xls", &csv));
  EXPECT_EQ(csv, "csv");
  EXPECT_FALSE(tessary::csv_name_for("xls", "xlsx", &csv));
}

TEST_F(DispatcherFake, ExecutableOutputLowercasedWithWinedebug) {
  PathFirst path(bin_);
  for (const char* mime : {"application/x-dosexec", kPe}) {
    Call c;
    c.path = dir_.file("Setup.EXE");
    c.mime = mime;
    c.windows_program = "C:\\Tools\\Dump It.exe";
    EXPECT_EQ(c.run(), "hello from a windows program\nno line feed") << mime;
  }
  std::vector<std::string> args = args_of("wine");
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "C:\\Tools\\Dump It.exe");
  EXPECT_EQ(args[1], dir_.file("Setup.EXE"));
  EXPECT_EQ(nul_split(harness::read_file(dir_.file("wine.env"))),
            std::vector<std::string>{"fixme-all,err-all,warn+cursor,-all"});

  // The output has no read limit, but only kMaxExecutableOutput bytes of it are kept.
  harness::write_script(bin_ + "/wine", "#!/bin/sh\nhead -c 17000000 /dev/zero | tr '\\0' Q\necho END > " +
                                            dir_.file("flood.done") + "\n");
  Call flood;
  flood.path = dir_.file("big.exe");
  flood.mime = kPe;
  std::string content = flood.run();
  EXPECT_EQ(content.size(), tessary::kMaxExecutableOutput);
  EXPECT_EQ(content.find_first_not_of('q'), std::string::npos);
  EXPECT_EQ(harness::read_file(dir_.file("flood.done")), "END\n");
}

TEST_F(DispatcherFake, HostileNamesReachEveryToolAsOneArgument) {
  PathFirst path(bin_);
  InDirectory here(dir_.path);
  const std::string pwned = dir_.file("PWNED");
  const std::string hostile_dir = dir_.file("-odd 'dir' \"x\" $(touch PWNED) `touch PWNED` \\ \n end");
  mkdir(hostile_dir.c_str(), 0755);
  const std::string work = hostile_dir + "/";
  // (No backslash in the name itself: the run splits file names at backslashes too.)
  const std::string name = "-it's \"a\" $HOME `id` $(touch PWNED) \nx";
  // A relative path with a leading "-" reaches libreoffice as "./" and the path, so that it is
  // not taken for an option; the Windows program gets it as it is.
  for (const std::string& p : {hostile_dir + "/" + name, std::string("-rf x.docx")}) {
    const std::string given = p[0] == '-' ? "./" + p : p;
    Call word;
    word.path = p + ".docx";
    word.mime = kDocx;
    EXPECT_EQ(word.run().substr(0, 12), "Word Line 1\n");
    EXPECT_EQ(args_of("libreoffice").back(), given + ".docx");

    Call sheet;
    sheet.path = p + ".xlsx";
    sheet.mime = kXlsx;
    sheet.work_directory = work;
    std::string content = sheet.run();
    EXPECT_EQ(content.substr(0, 13), "Cell,1,MiXeD\n");
    std::vector<std::string> args = args_of("libreoffice");
    EXPECT_EQ(args[args.size() - 3], given + ".xlsx");
    EXPECT_EQ(args.back().rfind(work + "tessary-", 0), 0u);

    Call exe;
    exe.path = p + ".exe";
    exe.mime = kPe;
    exe.windows_program = hostile_dir + "/prog $(touch PWNED).exe";
    exe.run();
    args = args_of("wine");
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ(args[args.size() - 2], exe.windows_program);
    EXPECT_EQ(args.back(), p + ".exe");
  }
  std::vector<std::string> left = entries(hostile_dir);
  EXPECT_TRUE(left.empty()) << left.size();
  struct stat st;
  EXPECT_NE(stat(pwned.c_str(), &st), 0) << "something ran a shell on a name";
}

TEST_F(DispatcherFake, ToolThatCannotStartIsOpenFailedAndReturnsAtOnce) {
  PathFirst path(bin_);
  Call c;
  c.path = dir_.file("x.exe");
  c.mime = kPe;
  testing::internal::CaptureStderr();
  rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit tight = saved;
  tight.rlim_cur = 3;
  setrlimit(RLIMIT_NOFILE, &tight);
  std::string content = c.run();
  setrlimit(RLIMIT_NOFILE, &saved);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(content, "");
  EXPECT_EQ(c.returned, "");
  EXPECT_EQ(err, "open failed: Too many open files\n");
  EXPECT_TRUE(args_of("wine").empty());

  // A tool that is not installed is no failure to start: its complaint, nothing appended.
  setenv("PATH", dir_.file("nowhere").c_str(), 1);
  testing::internal::CaptureStderr();
  Call missing;
  missing.path = dir_.file("y.exe");
  missing.mime = kPe;
  EXPECT_EQ(missing.run(), "");
  EXPECT_EQ(missing.returned, "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "wine: command not found\n");
}

TEST_F(DispatcherFake, PlainTextIsReadWhateverTheSwitches) {
  harness::write_file(dir_.file("notes.txt"), "Hello World\nsecond\n");
  Call c;
  c.path = dir_.file("notes.txt");
  c.mime = "text/plain";
  c.word = c.sheet = c.exe = c.media = c.pdf = "false";
  std::string content = c.run();
  EXPECT_NE(content.find("hello world"), std::string::npos) << content;
  EXPECT_NE(content.find("second"), std::string::npos) << content;
}

TEST_F(DispatcherFake, ReadersGetTheirSlots) {
  // The reader units run for real on files that are not what their MIME type says, so each
  // gives its empty result; what matters here is what the dispatcher put in the slots.
  harness::write_file(dir_.file("song.mp3"), "not really");
  Call mp3;
  mp3.path = dir_.file("song.mp3");
  mp3.mime = "audio/mpeg";
  mp3_tags_content = "stale";
  std::string content = mp3.run();
  EXPECT_EQ(pfad_fuer_mp3, mp3.path);
  EXPECT_EQ(content, mp3_tags_content);
  EXPECT_NE(mp3_tags_content, "stale");

  mp3.media = "false";
  mp3_tags_content = "untouched";
  EXPECT_EQ(mp3.run(), "");
  EXPECT_EQ(mp3_tags_content, "untouched");

  // pagegrab gets the line limit text exactly as configured.
  harness::write_file(dir_.file("doc.pdf"), "%PDF-1.4\n");
  harness::write_script(bin_ + "/gs", "#!/bin/sh\nfor i in 1 2 3 4 5 6 7; do echo \"PDF line $i\"; done\n");
  PathFirst path(bin_);
  Call pdf;
  pdf.path = dir_.file("doc.pdf");
  pdf.mime = "application/pdf";
  pdf_content = "stale";
  std::string pdf_text = pdf.run();
  EXPECT_EQ(pfad_uebergabe_pdf, pdf.path);
  EXPECT_EQ(pagegrab_max_lines, "1000");
  EXPECT_EQ(pdf_text, pdf_content);
  EXPECT_NE(pdf_text.find("PDF line 5"), std::string::npos) << pdf_text;
  pdf.pdf = "False";
  EXPECT_EQ(pdf.run(), "");
}

// ---------------------------------------------------------------------------------------------
// Real libreoffice and wine on fixtures made once per test process.

using dispatcher_fixtures::kOtherRows;
using dispatcher_fixtures::kSheetRows;
using dispatcher_fixtures::kWordLines;
using dispatcher_fixtures::lines_text;

class DispatcherOffice : public testing::Test {
 protected:
  void SetUp() override {
    if (dispatcher_fixtures::office_dir().empty()) GTEST_SKIP() << "libreoffice is not installed";
  }
  /// A copy of fixture `made` (words.docx, other.xls, ...) under `name` in a fresh directory.
  std::string fixture(const std::string& made, const std::string& name) {
    std::string data = harness::read_file(dispatcher_fixtures::office_dir() + "/made/" + made);
    EXPECT_FALSE(data.empty()) << "fixture " << made << " was not made";
    harness::write_file(local_.file(name), data);
    return local_.file(name);
  }
  void expect_no_office_left() {
    EXPECT_TRUE(harness::processes_matching(local_.path).empty()) << "an office process outlived its run";
  }

  harness::TempDir local_;
};

/// Runs the calls at the same time, each on a thread of its own; returns each call's content.
/// A run that used up its whole time limit on a machine too busy to convert in time is noted in
/// `overloaded`.
std::vector<std::string> run_together(std::vector<Call>* calls, std::vector<bool>* overloaded) {
  std::vector<std::string> results(calls->size());
  std::vector<double> seconds(calls->size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < calls->size(); ++i) {
    threads.emplace_back([&, i] {
      auto start = std::chrono::steady_clock::now();
      results[i] = (*calls)[i].run();
      seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
  }
  for (auto& t : threads) t.join();
  overloaded->assign(calls->size(), false);
  for (std::size_t i = 0; i < calls->size(); ++i) {
    std::printf("[ timing   ] %s (%zu at once): %.2f s\n", (*calls)[i].path.substr((*calls)[i].path.rfind('/') + 1).c_str(),
                calls->size(), seconds[i]);
    (*overloaded)[i] = seconds[i] >= tessary::kConverterTimeLimitSeconds - 1;
  }
  return results;
}

/// Checks each result; a run that failed only because the machine was too busy to convert within
/// the time limit makes the test skip instead of fail (the limit is part of the program).
void expect_results(const std::vector<std::string>& results, const std::vector<std::string>& want,
                    const std::vector<bool>& overloaded) {
  bool skipped = false;
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results[i] != want[i] && overloaded[i]) {
      skipped = true;
      continue;
    }
    EXPECT_EQ(results[i], want[i]) << "run " << i << " of " << results.size();
  }
  if (skipped) GTEST_SKIP() << "machine too busy: a conversion used up its whole time limit";
}

TEST_F(DispatcherOffice, WordDocumentsGiveTheirFirstSixLines) {
  const std::string want = kBom + lines_text(kWordLines, 6);
  // A name with quotes, blanks, a dollar sign, backquotes and a backslash, as one argument; a
  // .doc converted at the same time.
  InDirectory here(local_.path);
  const std::string pwned = local_.file("PWNED");
  std::vector<Call> calls(2);
  calls[0].path = fixture("words.docx", "Mr O'Brien \"memo\" $(touch PWNED) `touch PWNED` \\.docx");
  calls[1].path = fixture("words.doc", "Letter.DOC");
  for (Call& c : calls) c.mime = mime_of(c.path);
  EXPECT_EQ(calls[0].mime, kDocx);
  EXPECT_EQ(calls[1].mime, "application/msword");
  std::vector<bool> overloaded;
  std::vector<std::string> results = run_together(&calls, &overloaded);
  struct stat st;
  EXPECT_NE(stat(pwned.c_str(), &st), 0);
  expect_no_office_left();
  expect_results(results, {want, want}, overloaded);
}

TEST_F(DispatcherOffice, SpreadsheetsGiveTheirFirstSixRowsAndLeaveNothing) {
  // Two spreadsheets whose csv files have the same name, converted at the same time into the
  // same work directory (with a blank in it): each run reads its own file.
  const std::string work = local_.file("work area") + "/";
  mkdir(work.c_str(), 0755);
  mkdir(local_.file("a").c_str(), 0755);
  mkdir(local_.file("b").c_str(), 0755);
  std::vector<Call> calls(2);
  calls[0].path = fixture("rows.xlsx", "a/Budget $(id) 'q'.xlsx");
  calls[1].path = fixture("other.xls", "b/Budget $(id) 'q'.XLS");
  for (Call& c : calls) {
    c.mime = mime_of(c.path);
    c.work_directory = work;
  }
  EXPECT_EQ(calls[0].mime, kXlsx);
  EXPECT_EQ(calls[1].mime, "application/vnd.ms-excel");
  std::vector<bool> overloaded;
  std::vector<std::string> results = run_together(&calls, &overloaded);
  EXPECT_TRUE(entries(work).empty());
  expect_no_office_left();
  expect_results(results, {lines_text(kSheetRows, 6), lines_text(kOtherRows, 6)}, overloaded);
}

class DispatcherWine : public testing::Test {
 protected:
  void SetUp() override {
    wine_ = dispatcher_fixtures::wine();
    if (!wine_) GTEST_SKIP() << "wine or mingw-w64 is not installed";
    ASSERT_FALSE(harness::read_file(wine_->program).empty()) << "the Windows program was not built";
    setenv("WINEPREFIX", wine_->prefix.c_str(), 1);
  }
  void TearDown() override { unsetenv("WINEPREFIX"); }
  const dispatcher_fixtures::Wine* wine_ = nullptr;
};

TEST_F(DispatcherWine, WindowsProgramOutputArrivesLowercased) {
  // The program indexes itself (a PE file) and a bare DOS stub.
  const std::string program = wine_->program;
  EXPECT_EQ(mime_of(program), kPe);
  const std::string stub = wine_->stub;
  EXPECT_EQ(mime_of(stub), "application/x-dosexec");
  for (const std::string& path : {program, stub}) {
    Call c;
    c.path = path;
    c.mime = mime_of(path);
    c.windows_program = program;
    auto start = std::chrono::steady_clock::now();
    std::string content = c.run();
    std::printf("[ timing   ] exe run: %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // The program writes text mode: its line ends are CR LF.
  std::string want = "windows program says hello\r\narg[1]=" + path + "\r\n";
    for (char& ch : want) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(content, want);
  }
}

TEST_F(DispatcherWine, HostilePathReachesTheWindowsProgramIntact) {
  InDirectory here(wine_->dir);
  const std::string pwned = wine_->dir + "/PWNED";
  const std::string path = wine_->dir + "/it's \"odd\" $(touch PWNED) `touch PWNED` \\ -x.exe";
  harness::write_file(path, "MZ not much");
  // A copy of the program under a name with a blank and a quote.
  const std::string program = wine_->dir + "/my prog's.exe";
  harness::write_file(program, harness::read_file(wine_->program));
  Call c;
  c.path = path;
  c.mime = kPe;
  c.windows_program = program;
  // The program writes text mode: its line ends are CR LF.
  std::string want = "windows program says hello\r\narg[1]=" + path + "\r\n";
  for (char& ch : want) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(c.run(), want);
  struct stat st;
  EXPECT_NE(stat(pwned.c_str(), &st), 0);
  EXPECT_TRUE(harness::processes_matching(program).empty());
}

}  // namespace
