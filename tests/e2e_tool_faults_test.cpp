// Faults of the converters through whole runs: fake libreoffice, wine, gs and metaflac first on
// PATH that are missing, fail, crash, hang past their limit, flood, leave a daemon holding the
// pipe, or write a zero byte or a 100,000-byte line. Each run ends with status 0 and sends its
// record with the content the reading rules give for what the tool wrote, within its memory
// bound, and leaves no process behind (looked up in the process table by an environment mark).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "process/command.h"
#include "extract/dispatcher.h"
#include "readers/pagegrab.h"
#include "readers/wavegrab.h"
#include "tests/harness.h"

namespace {

constexpr long kLineLimit = 1000;      // line limit of the configuration (PDF lines)

// Under AddressSanitizer the program's memory is mostly the sanitizer's own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// ---------------------------------------------------------------------------------------------
// What each branch keeps of the exact bytes a fake tool writes, by the product's own rules: the
// runs must wire the tools' output through them unchanged.

std::vector<std::string> pieces_of(const std::string& out) {
  std::vector<std::string> pieces;
  tessary::split_into_pieces(out, [&](const std::string& p) {
    pieces.push_back(p);
    return true;
  });
  return pieces;
}

std::string word_text(const std::string& out) {
  std::string text;
  tessary::split_into_pieces(out, tessary::append_pieces(&text, tessary::kOfficeReadLimit, 0));
  return text;
}

std::string exe_text(const std::string& out) {
  std::string text;
  tessary::split_into_pieces(out, tessary::keep_executable_output(&text));
  return text;
}

std::string pdf_text(const std::string& out) { return tessary::keep_pdf_lines(pieces_of(out), std::to_string(kLineLimit)); }

std::string flac_text(const std::string& out) { return tessary::build_flac_text(pieces_of(out)); }

// ---------------------------------------------------------------------------------------------
// Inputs that libmagic names as each branch wants, without any real converter.

/// Local zip entries (stored, no central directory): enough for libmagic's OOXML test.
struct Branch {
  const char* tool;       ///< the tool the fake replaces
  const char* file_name;  ///< input file
  std::string input;      ///< its bytes
  std::string mime;       ///< what libmagic must call it
  std::function<std::string(const std::string&)> rule;  ///< content for what the tool wrote
};

std::vector<Branch> branches() {
  std::string stub(64, '\0');
  stub[0] = 'M', stub[1] = 'Z', stub[2] = 64, stub[4] = 1, stub[8] = 4;
  std::string flac = "fLaC";
  flac += std::string("\x80\x00\x00\x22", 4) + std::string(34, '\x10');
  return {
      {"libreoffice", "Letter.docx", harness::minimal_ooxml("word/document.xml"),
       "application/vnd.openxmlformats-officedocument.wordprocessingml.document", word_text},
      {"wine", "Setup.exe", stub, "application/x-dosexec", exe_text},
      {"gs", "Paper.pdf", "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n", "application/pdf", pdf_text},
      {"metaflac", "Take.flac", flac, "audio/flac", flac_text},
      // The spreadsheet's converter: its output is dropped, and it writes no csv file.
      {"libreoffice", "Budget.xlsx", harness::minimal_ooxml("xl/workbook.xml"),
       "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
       [](const std::string&) { return std::string(); }},
  };
}

// ---------------------------------------------------------------------------------------------
// Faults.

const std::string kLines = "Line One\nLine Two\nLine Three\nLine Four\nLine Five\nLine Six\nLine Seven\n";

struct Fault {
  std::string name;
  std::string script;  ///< body of the fake tool (sh); DATA names a file holding `output`
  std::string output;  ///< what the tool writes to its standard output
  bool missing = false;
  bool hangs = false;  ///< runs into the 30 s limit
  bool flood = false;
};

std::vector<Fault> faults() {
  std::string zero = "Line One\nLine Two\nLine Three\nLine Four\nLine Five\nAB";
  zero += std::string(1, '\0') + "CD\nEF\n";
  std::string flood;
  flood.reserve(50u << 20);
  while (flood.size() < (50u << 20)) flood += "y\n";
  return {
      {"missing", "", "", true},
      {"exits 3", "cat \"$DATA\"\nexit 3\n", kLines},
      {"crashes (SIGSEGV)", "cat \"$DATA\"\nkill -SEGV $$\necho never\n", kLines},
      {"floods 50 MiB", "yes | head -c 50M\n", flood, false, false, true},
      {"daemon holds the pipe", "setsid sleep 1000 &\ncat \"$DATA\"\n", kLines},
      {"writes a zero byte", "cat \"$DATA\"\n", zero},
      {"writes a 100,000-byte line", "cat \"$DATA\"\n",
       "Line One\nLine Two\nLine Three\nLine Four\nLine Five\n" + std::string(100000, 'X') + "\nTail One\nTail Two\n"},
  };
}

struct Outcome {
  std::string label;
  double seconds = 0;
  long max_rss_kib = -1;
};

/// Runs `branch` once with `fault` in a sandbox of its own and checks the whole outcome.
Outcome run_case(const Branch& branch, const Fault& fault, harness::Receiver& receiver, std::atomic<int>* sent) {
  Outcome outcome;
  outcome.label = std::string(branch.tool) + " (" + branch.file_name + "): " + fault.name;
  SCOPED_TRACE(outcome.label);
  harness::Sandbox box;
  auto config = harness::default_config(receiver.port());
  config[4] = std::to_string(kLineLimit);
  config[7] = "C:\\prog.exe";
  config[8] = box.root.file("work") + "/";
  mkdir(config[8].c_str(), 0755);
  box.set_config(config);
  const std::string bin = box.root.file("bin");
  mkdir(bin.c_str(), 0755);
  // The only programs a run may find: the sandbox's shell and mount, cat and rm for the
  // spreadsheet steps, time for measuring, and the fake tool unless it is the one missing.
  for (const char* tool : {"sh", "mount", "cat", "rm", "yes", "head", "sleep", "setsid", "kill"}) {
    const std::string real = "/usr/bin/" + std::string(tool);
    if (symlink((access(real.c_str(), X_OK) == 0 ? real : "/bin/" + std::string(tool)).c_str(),
                (bin + "/" + tool).c_str()) != 0)
      ADD_FAILURE() << "cannot link " << tool;
  }
  const std::string data = box.root.file("tool-output");
  if (fault.script.find("$DATA") != std::string::npos) harness::write_file(data, fault.output);
  if (!fault.missing)
    harness::write_script(bin + "/" + branch.tool, "#!/bin/sh\nDATA='" + data + "'\n" + fault.script);
  const std::string path = box.root.file(branch.file_name);
  harness::write_file(path, branch.input);

  static std::atomic<int> counter{0};
  const std::string mark = "mark-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  if (access("/usr/bin/time", X_OK) == 0) box.exec_prefix = {"/usr/bin/time", "-v"};
  const auto result = box.run({path}, {{"PATH", bin}, {"TESSARY_FAULT_MARK", mark}}, 120);
  outcome.seconds = result.seconds;
  outcome.max_rss_kib = harness::max_rss_kib(result.err);

  EXPECT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(box.error_log(), "");
  if (fault.missing) {
    EXPECT_NE(result.err.find(std::string(branch.tool) + ": command not found"), std::string::npos) << result.err;
  }
  // A tool's own failure is no failure to start it.
  EXPECT_EQ(result.err.find("open failed"), std::string::npos) << result.err.substr(0, 2000);
  if (fault.hangs) {
    EXPECT_GE(result.seconds, tessary::kConverterTimeLimitSeconds - 1);
    EXPECT_LT(result.seconds, tessary::kConverterTimeLimitSeconds + 15);
  } else {
    EXPECT_LT(result.seconds, 20) << "only the time limit may hold a run this long";
  }
  if (fault.flood && outcome.max_rss_kib >= 0 && !kSanitized) {
    // 64 MiB plus the conversion buffer of the configuration.
    EXPECT_LT(outcome.max_rss_kib * 1024, (64 << 20) + std::stol(config[5]));
  }

  // No process of this run left: not the tool, not what it started, not its daemon.
  std::vector<harness::ProcessInfo> left;
  for (int i = 0; i < 20; ++i) {
    left = harness::processes_with_environment("TESSARY_FAULT_MARK=" + mark);
    if (left.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto& p : left) {
    ADD_FAILURE() << "left behind: " << p.pid << " " << p.name << " " << p.command_line;
    kill(p.pid, SIGKILL);
  }
  EXPECT_EQ(harness::directory_entries(config[8]).size(), 0u);

  // The record, found among every run's by its path.
  const std::string expected_path = harness::record_path(path);
  const std::string expected = harness::record_content(fault.missing ? branch.rule("") : branch.rule(fault.output));
  for (int wait = 0; wait < 100; ++wait) {
    for (const std::string& data_got : receiver.connections()) {
      std::string record, rest;
      if (!harness::split_delivery(data_got, &record, &rest)) continue;
      auto f = harness::parse_record(record);
      if (f["#PFAD#"] != expected_path) continue;
      EXPECT_EQ(rest, "quit\r\n");
      EXPECT_EQ(f["#INHALT#"].size(), expected.size());
      EXPECT_TRUE(f["#INHALT#"] == expected) << f["#INHALT#"].substr(0, 300) << "\n---\n" << expected.substr(0, 300);
      ++*sent;
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "no record arrived";
  return outcome;
}

}  // namespace

TEST(ToolFaults, EveryFaultOfEveryToolThroughWholeRuns) {
  if (!harness::have_tool("unshare") || !harness::have_tool("setsid")) GTEST_SKIP() << "util-linux not installed";
  harness::Receiver receiver;
  const auto all_branches = branches();
  const auto all_faults = faults();
  // libmagic must call every input what its branch reads.
  for (const Branch& b : all_branches) {
    harness::TempDir dir;
    harness::write_file(dir.file(b.file_name), b.input);
    EXPECT_EQ(harness::run_process({"file", "-b", "--mime-type", dir.file(b.file_name)}).out, b.mime + "\n")
        << b.file_name;
  }

  // One hang, for the dispatcher's 30-second limit, runs beside all the others; the readers'
  // 300-second limit is tested in the units.
  struct Job {
    const Branch* branch;
    const Fault* fault;
  };
  std::vector<Job> jobs;
  Fault hang{"hangs past the limit", "echo 'Partial Line'\nsleep 200 &\nsleep 100\necho never\n", "Partial Line\n"};
  hang.hangs = true;
  jobs.push_back({&all_branches[0], &hang});
  for (const Branch& b : all_branches)
    for (const Fault& f : all_faults) jobs.push_back({&b, &f});

  std::vector<Outcome> outcomes(jobs.size());
  std::atomic<size_t> next{0};
  std::atomic<int> sent{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w)
    workers.emplace_back([&] {
      for (size_t k; (k = next++) < jobs.size();) outcomes[k] = run_case(*jobs[k].branch, *jobs[k].fault, receiver, &sent);
    });
  for (auto& t : workers) t.join();
  EXPECT_EQ(sent.load(), static_cast<int>(jobs.size()));

  std::printf("[ faults   ] %zu cases in %.1f s\n", jobs.size(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  for (const Outcome& o : outcomes)
    std::printf("[ faults   ] %-58s %6.2f s  peak %6.1f MiB\n", o.label.c_str(), o.seconds, o.max_rss_kib / 1024.0);
}
