// Hostile file names and contents through whole runs with the real tools. Names carry every
// shell metacharacter, line feeds, leading dashes, bytes that are not UTF-8, 255-byte components
// and a path of about 4,000 bytes, through every branch (text, docx, xlsx, Windows program under
// wine, MP3, FLAC, PDF): nothing in a name is ever run, the record's path and file name fields
// are exactly the normalised name, and the content is what the tool makes of the file. Contents
// carry zero bytes, lone carriage returns, "@@ENDE@@", quotes and "#INHALT#", which the record
// carries unescaped, without line feeds and zero bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

struct Source {
  std::string ext;
  std::string file;     ///< a fixture to copy under the hostile name
  std::string content;  ///< the record's content for it; computed from the copy when empty
  std::function<std::string(const std::string& path)> content_for;  ///< for contents that name the path
  bool needs_utf8_name = false;  ///< the tool cannot open a file whose name is not UTF-8
  size_t longest_path = 0;       ///< the longest path argument the tool takes; 0: no limit
};

/// A Windows program's text-mode output: every line feed written as CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

/// `stem` filled with `fill` to `size` bytes together with "." and `ext`.
std::string sized(const std::string& stem, const std::string& ext, size_t size, char fill) {
  return stem + std::string(size - stem.size() - 1 - ext.size(), fill) + "." + ext;
}

struct Case {
  std::string path;
  const Source* source;
  harness::ProcessResult result;
};

/// The runs in a few threads; the cases' results filled in.
void run_all(harness::Sandbox& box, std::vector<Case>& cases, const std::map<std::string, std::string>& env,
             const std::string& cwd, int threads) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < threads; ++w)
    workers.emplace_back([&] {
      for (size_t k; (k = next++) < cases.size();) cases[k].result = box.run({cases[k].path}, env, 120, cwd);
    });
  for (auto& t : workers) t.join();
}

/// The delivered record of `path` among `got`, as parsed fields; empty when none.
std::map<std::string, std::string> record_of(const std::vector<std::string>& got, const std::string& path) {
  for (const std::string& data : got) {
    std::string record, rest;
    if (!harness::split_delivery(data, &record, &rest)) continue;
    auto f = harness::parse_record(record);
    if (f["#PFAD#"] == harness::record_path(path)) {
      EXPECT_EQ(rest, "quit\r\n") << path;
      return f;
    }
  }
  return {};
}

}  // namespace

TEST(HostileNames, EveryBranchWithTheRealTools) {
  dispatcher_fixtures::RealTools tools;
  const std::string why_not = dispatcher_fixtures::prepare_real_tools(&tools);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const std::string& office = tools.office;
  const dispatcher_fixtures::Wine* wine = tools.wine;
  const auto start = std::chrono::steady_clock::now();

  harness::Receiver receiver;
  harness::Sandbox box;
  const std::string made = box.root.file("made");
  const std::string cwd = box.root.file("cwd");
  // The work directory and the Windows program's name are hostile too.
  const std::string work = box.root.file("work $(touch MARKER) `touch MARKER` 'dir'") + "/";
  const std::string program_dir = box.root.file("prog dir");
  for (const std::string& d : {made, cwd, work, program_dir}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
  const std::string program = program_dir + "/Show $(touch MARKER) 'q'.exe";
  harness::write_file(program, harness::read_file(wine->program));
  auto config = harness::default_config(receiver.port());
  config[7] = program;
  config[8] = work;
  box.set_config(config);

  // Fixtures, made once and copied under every hostile name.
  using dispatcher_fixtures::lines_text;
  std::vector<Source> sources;
  harness::write_file(made + "/text.txt", "Hostile Name TEXT\nsecond LINE\n");
  sources.push_back({"txt", made + "/text.txt", harness::record_content("Hostile Name TEXT\nsecond LINE\n"), nullptr});
  sources.push_back({"docx", office + "/made/words.docx",
                     harness::record_content("\xEF\xBB\xBF" + lines_text(dispatcher_fixtures::kWordLines, 6)), nullptr, true});
  sources.push_back({"xlsx", office + "/made/rows.xlsx",
                     harness::record_content(lines_text(dispatcher_fixtures::kSheetRows, 6)), nullptr, true});
  sources.push_back({"exe", wine->program, "", [](const std::string& path) {
                       return harness::record_content(crlf("Windows Program SAYS Hello\nArg[1]=" + path + "\n"));
                     }});
  const std::string pdf = made + "/paper.pdf";
  ASSERT_EQ(harness::make_pdf(pdf, {"Hostile Names Paper", "Second Line Here"}), "");
  // Ghostscript refuses an argument of more than about 2 KB ("Command too long").
  sources.push_back({"pdf", pdf, harness::pdf_record_text(pdf, 1000), nullptr, true, 2000});
  const std::string wav = made + "/tone.wav";
  ASSERT_EQ(dispatcher_fixtures::make_tone(wav, 22050, 1, 1, 330), "");
  const std::string mp3 = made + "/tone.mp3";
  ASSERT_EQ(dispatcher_fixtures::make_mp3(wav, mp3, 64), "");
  const harness::Mp3Tags tags{"Title", "Artist", "Album", "", "Jazz", 1999, 2};
  ASSERT_TRUE(harness::tag_mp3(mp3, tags));
  sources.push_back({"mp3", mp3, harness::mp3_record_text(mp3, tags), nullptr});
  const std::string flac = made + "/tone.flac";
  ASSERT_EQ(dispatcher_fixtures::make_flac(wav, flac), "");
  ASSERT_EQ(harness::run_process({"metaflac", "--set-tag=TITLE=Hostile", flac}).status, 0);
  sources.push_back({"flac", flac, harness::flac_record_text(flac, {"TITLE=Hostile"}), nullptr});

  // The names. Every shell metacharacter, a tab, a line feed and a backslash (which the run
  // splits file names at) in one 255-byte component that starts with dashes; line feeds alone;
  // bytes that are not UTF-8; a path of about 4,000 bytes of hostile directory names.
  const std::string metas = "--all $(touch MARKER) `touch MARKER` ;&|<>*?[]{}~!#%^=\"' \\ \t\nend ";
  const std::string names = box.root.file("names");
  ASSERT_EQ(mkdir(names.c_str(), 0755), 0);
  std::string deep = names;
  while (4000 - deep.size() - 1 > 255) {  // until the last component fits
    deep += "/-d $(touch MARKER) 'x' \"y\" \n" + std::string(220, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size();
  }
  std::vector<Case> cases;
  for (const Source& s : sources) {
    for (const std::string& path : {names + "/" + sized(metas, s.ext, 255, 'm'),
                                    names + "/-n\nline\nfeeds\n." + s.ext,
                                    names + "/bad \xff\xfe \xc3( utf8 \xe2\x82." + s.ext,
                                    deep + "/" + sized("-deep `touch MARKER` ", s.ext, 4000 - deep.size() - 1, 'p')}) {
      // libreoffice costs seconds a run: it gets the first name, which holds the line feeds
      // too, and the long path; a name that is not UTF-8 it cannot open from any caller.
      if (s.needs_utf8_name && s.ext != "pdf" && path.find(names + "/--all") != 0 && path.find(deep) != 0) continue;
      harness::write_file(path, harness::read_file(s.file));
      cases.push_back({path, &s, {}});
    }
  }
  EXPECT_EQ(cases.back().path.size(), 4000u);
  EXPECT_EQ(harness::record_file_name(cases.front().path).size(), 255u - metas.find('\\') - 1);

  std::map<std::string, std::string> md5;
  for (const Case& c : cases) md5[c.path] = harness::md5_of(c.path);
  const std::map<std::string, std::string> env = {{"WINEPREFIX", wine->prefix}};
  run_all(box, cases, env, cwd, 4);

  const auto got = receiver.wait_connections(cases.size(), 30000);
  EXPECT_EQ(got.size(), cases.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source->ext + " at " + c.path.substr(names.size(), 60));
    EXPECT_EQ(c.result.status, 0) << c.result.err.substr(0, 1000);
    EXPECT_EQ(c.result.out, "");
    const auto f = record_of(got, c.path);
    ASSERT_FALSE(f.empty()) << "no record";
    // Exactly the normalised name: nothing cut, escaped or replaced but what the record rules say.
    EXPECT_EQ(f.at("#PFAD#"), harness::record_path(c.path));
    EXPECT_EQ(f.at("#DATEINAME#"), harness::record_file_name(c.path));
    EXPECT_EQ(f.at("#MD5#"), md5[c.path]);
    EXPECT_EQ(f.at("#SIZE#"), std::to_string(harness::read_file(c.path).size()));
    const bool utf8_name = c.path.find('\xff') == std::string::npos;
    if ((!utf8_name && c.source->needs_utf8_name) || (c.source->longest_path && c.path.size() > c.source->longest_path)) {
      // libreoffice and Ghostscript cannot open a file whose name is not UTF-8, and Ghostscript
      // takes no path this long, from any caller; what counts here is that the record still
      // arrives whole with the exact name.
      continue;
    }
    std::string expected = c.source->content_for ? c.source->content_for(c.path) : c.source->content;
    // The csv name is made from the file name as the run splits it, at the last "/" or
    // backslash; the converter names its csv file after the whole last component. After a
    // backslash the two differ, the read names a file that was not written, and the spreadsheet
    // gives nothing (its private directory is removed all the same).
    if (c.source->ext == "xlsx" && c.path.substr(c.path.rfind('/')).find('\\') != std::string::npos) expected.clear();
    if (c.source->ext == "exe" && !utf8_name) {
      // wine hands a name that is not UTF-8 to the program with "?" for what it cannot convert.
      EXPECT_EQ(f.at("#INHALT#").rfind("windows program says hello\rarg[1]=", 0), 0u) << f.at("#INHALT#");
      continue;
    }
    EXPECT_EQ(f.at("#INHALT#"), expected);
  }

  // Nothing ran: no MARKER anywhere a shell would have made one, nothing removed, nothing left.
  for (const std::string& dir : {cwd, box.root.path, names, made, work, program_dir, deep})
    EXPECT_EQ(access((dir + "/MARKER").c_str(), F_OK), -1) << "a name was run by a shell in " << dir;
  for (const Case& c : cases) EXPECT_EQ(access(c.path.c_str(), F_OK), 0) << "gone: " << c.path;
  EXPECT_TRUE(harness::directory_entries(work).empty());
  EXPECT_TRUE(harness::directory_entries(cwd).empty());
  std::printf("[ hostile  ] %zu runs over %zu branches in %.1f s\n", cases.size(), sources.size(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

TEST(HostileContents, ZeroBytesCarriageReturnsMarkersAndQuotes) {
  for (const char* tool : {"unshare", "sox", "lame", "flac", "metaflac", "file"})
    if (!harness::have_tool(tool)) GTEST_SKIP() << tool << " not installed";
  harness::Receiver receiver;
  harness::Sandbox box;
  auto config = harness::default_config(receiver.port());
  config[4] = "-1";  // whole files
  box.set_config(config);
  const std::string hostile = "It's \"Quoted\" #INHALT# and @@ENDE@@' 'fake stamp' #PFAD# \\ end";
  struct Content {
    std::string name;
    std::string expected;  ///< the record's content
  };
  std::vector<Content> contents;

  // Lone carriage returns: one line, its carriage returns kept.
  harness::write_file(box.root.file("cr.txt"), "First Line\rSecond LINE\rThird\r");
  contents.push_back({"cr.txt", "first line\rsecond line\rthird\r"});
  // Quotes and the record's own markers, carried as they are.
  harness::write_file(box.root.file("markers.txt"), hostile + "\nnext 'LINE'\n");
  contents.push_back({"markers.txt", harness::record_content(hostile + "next 'LINE'")});
  // A zero byte beyond what libmagic looks at (its first 7 MiB), so the file is still plain text
  // and the line with the zero byte reaches the content; the record drops the zero byte.
  std::string text;
  while (text.size() < (15u << 19)) text += "plain text line number " + std::to_string(text.size()) + "\n";
  const std::string zero_line = std::string("zero") + '\0' + "byte LINE\n";
  text += zero_line + "After It\n";
  harness::write_file(box.root.file("zero.txt"), text);
  EXPECT_EQ(harness::run_process({"file", "-b", "--mime-type", box.root.file("zero.txt")}).out, "text/plain\n");
  contents.push_back({"zero.txt", harness::record_content(text)});

  // The same texts in tags: the MP3 title and a FLAC tag carry them unescaped.
  const std::string wav = box.root.file("tone.wav");
  ASSERT_EQ(dispatcher_fixtures::make_tone(wav, 8000, 1, 1, 300), "");
  ASSERT_EQ(dispatcher_fixtures::make_mp3(wav, box.root.file("tags.mp3"), 32), "");
  const harness::Mp3Tags tags{hostile, "Line\rBreak", "", "", "", 0, 0};
  ASSERT_TRUE(harness::tag_mp3(box.root.file("tags.mp3"), tags));
  contents.push_back({"tags.mp3", harness::mp3_record_text(box.root.file("tags.mp3"), tags)});
  ASSERT_EQ(dispatcher_fixtures::make_flac(wav, box.root.file("tags.flac")), "");
  ASSERT_EQ(harness::run_process({"metaflac", "--set-tag=COMMENT=" + hostile, box.root.file("tags.flac")}).status, 0);
  contents.push_back({"tags.flac", harness::flac_record_text(box.root.file("tags.flac"), {"COMMENT=" + hostile})});

  for (const Content& c : contents) {
    const auto result = box.run({box.root.file(c.name)});
    EXPECT_EQ(result.status, 0) << c.name << result.err;
  }
  const auto got = receiver.wait_connections(contents.size(), 20000);
  ASSERT_EQ(got.size(), contents.size());
  for (const Content& c : contents) {
    const auto f = record_of(got, box.root.file(c.name));
    ASSERT_FALSE(f.empty()) << c.name;
    EXPECT_EQ(f.at("#INHALT#").find('\n'), std::string::npos) << c.name;
    EXPECT_EQ(f.at("#INHALT#").find('\0'), std::string::npos) << c.name;
    EXPECT_EQ(f.at("#INHALT#").size(), c.expected.size()) << c.name;
    EXPECT_TRUE(f.at("#INHALT#") == c.expected) << c.name << ": " << f.at("#INHALT#").substr(0, 300);
  }
  // The zero byte's line made it into the record, without the zero byte.
  const auto zero = record_of(got, box.root.file("zero.txt"));
  ASSERT_FALSE(zero.empty());
  EXPECT_NE(zero.at("#INHALT#").find("zerobyte lineafter it"), std::string::npos);
}

TEST(HostileNames, RelativeNamesThatGhostscriptWouldReadAsCommands) {
  if (!harness::have_tool("unshare") || !harness::have_tool("gs")) GTEST_SKIP() << "gs not installed";
  harness::Receiver receiver;
  harness::Sandbox box;
  box.set_config(harness::default_config(receiver.port()));
  const std::string cwd = box.root.file("cwd");
  ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
  const std::string pdf = box.root.file("paper.pdf");
  ASSERT_EQ(harness::make_pdf(pdf, {"Relative Name Paper"}), "");
  const std::string expected = harness::pdf_record_text(pdf, 1000);
  // As given to the program, relative to its working directory: a device name that runs a
  // command, and a file of further arguments whose words would run PostScript.
  harness::write_file(cwd + "/args.pdf", "-c (INJECTED) = flush quit\n");
  const std::vector<std::string> names = {"%pipe%touch MARKER.pdf", "@args.pdf"};
  for (const std::string& name : names) {
    harness::write_file(cwd + "/" + name, harness::read_file(pdf));
    const auto result = box.run({name}, {}, 60, cwd);
    EXPECT_EQ(result.status, 0) << name << result.err;
    EXPECT_EQ(result.err.find("INJECTED"), std::string::npos) << name;
  }
  EXPECT_EQ(access((cwd + "/MARKER.pdf").c_str(), F_OK), -1) << "a file name ran a command";
  const auto got = receiver.wait_connections(names.size());
  ASSERT_EQ(got.size(), names.size());
  for (const std::string& name : names) {
    const auto f = record_of(got, name);
    ASSERT_FALSE(f.empty()) << name;
    EXPECT_EQ(f.at("#DATEINAME#"), harness::record_file_name(name));
    EXPECT_EQ(f.at("#INHALT#").find("injected"), std::string::npos) << name;
    // Ghostscript opens no file whose name holds "%pipe%", from any path; it only must not run it.
    if (name[0] != '%') {
      EXPECT_EQ(f.at("#INHALT#"), expected) << name;
    }
  }
}
