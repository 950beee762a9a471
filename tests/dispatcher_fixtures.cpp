#include "tests/dispatcher_fixtures.h"

#include <memory>
#include <thread>

#include "tests/harness.h"

namespace dispatcher_fixtures {

const std::vector<std::string> kWordLines = {"First Line Of Text", "Second LINE", "third line",     "Fourth",
                                             "Fifth Line",         "SIXTH",       "Seventh hidden", "Eighth hidden"};
const std::vector<std::string> kSheetRows = {"Name,Count,Note", "Apples,3,Red", "Pears,4,Green", "Plums,5,Blue",
                                             "Kiwis,6,Brown",   "Limes,7,Sour", "Figs,8,Sweet",  "Dates,9,Dry"};
const std::vector<std::string> kOtherRows = {"Town,People", "Ulm,1", "Bonn,2", "Kiel,3",
                                             "Gera,4",      "Hof,5", "Jena,6", "Suhl,7"};

std::string lines_text(const std::vector<std::string>& lines, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n && i < lines.size(); ++i) text += lines[i] + "\n";
  return text;
}

namespace {

std::unique_ptr<harness::TempDir> make_office() {
  if (!harness::have_tool("libreoffice")) return nullptr;
  auto dir = std::make_unique<harness::TempDir>();
  harness::write_file(dir->file("words.txt"), lines_text(kWordLines, 8));
  harness::write_file(dir->file("rows.csv"), lines_text(kSheetRows, 8));
  harness::write_file(dir->file("other.csv"), lines_text(kOtherRows, 8));
  struct Job {
    const char* format;
    const char* input;
  };
  const Job jobs[] = {{"docx", "words.txt"}, {"doc", "words.txt"}, {"xlsx", "rows.csv"}, {"xls", "other.csv"}};
  // All four at once, each with a profile of its own.
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&dir, &jobs, i] {
      const std::string profile = dir->file("profile" + std::to_string(i));
      harness::run_process({"libreoffice", "-env:UserInstallation=file://" + profile, "--headless", "--convert-to",
                            jobs[i].format, "--outdir", dir->file("made"), dir->file(jobs[i].input)});
      harness::run_process({"rm", "-rf", profile});
    });
  }
  for (auto& t : threads) t.join();
  return dir;
}

struct WineHolder {
  harness::TempDir dir;
  Wine wine;
  ~WineHolder() {
    // wine's server would otherwise linger a few seconds with the prefix open.
    harness::run_process({"wineserver", "-k"}, {{"WINEPREFIX", wine.prefix}});
  }
};

std::unique_ptr<WineHolder> make_wine() {
  if (!harness::have_tool("wine") || !harness::have_tool("x86_64-w64-mingw32-gcc")) return nullptr;
  auto holder = std::make_unique<WineHolder>();
  Wine& w = holder->wine;
  w.dir = holder->dir.path;
  w.program = holder->dir.file("Show.exe");
  w.stub = holder->dir.file("STUB.COM.exe");
  w.prefix = holder->dir.file("prefix");
  harness::write_file(holder->dir.file("show.c"),
                      "#include <stdio.h>\n"
                      "int main(int argc, char** argv) {\n"
                      "  printf(\"Windows Program SAYS Hello\\n\");\n"
                      "  for (int i = 1; i < argc; ++i) printf(\"Arg[%d]=%s\\n\", i, argv[i]);\n"
                      "  return 0;\n}\n");
  harness::run_process({"x86_64-w64-mingw32-gcc", "-O2", "-o", w.program, holder->dir.file("show.c")});
  // Creating a prefix takes about ten seconds, so it is done once, here.
  harness::run_process({"wineboot", "-i"}, {{"WINEPREFIX", w.prefix}, {"WINEDEBUG", "-all"}});
  // A bare DOS program of 64 bytes: "MZ", one page of 64 bytes, a header of four paragraphs.
  std::string stub(64, '\0');
  stub[0] = 'M';
  stub[1] = 'Z';
  stub[2] = 64;
  stub[4] = 1;
  stub[8] = 4;
  harness::write_file(w.stub, stub);
  return holder;
}

}  // namespace

const std::string& office_dir() {
  static const std::unique_ptr<harness::TempDir> dir = make_office();
  static const std::string path = dir ? dir->path : "";
  return path;
}

const Wine* wine() {
  static const std::unique_ptr<WineHolder> holder = make_wine();
  return holder ? &holder->wine : nullptr;
}

std::string prepare_real_tools(RealTools* tools) {
  for (const char* tool : {"unshare", "gs", "sox", "lame", "flac", "metaflac", "md5sum", "file"})
    if (!harness::have_tool(tool)) return std::string(tool) + " not installed";
  // The wine prefix and the office documents take several seconds each: made side by side.
  std::thread wine_maker([] { wine(); });
  tools->office = office_dir();
  wine_maker.join();
  if (tools->office.empty()) return "libreoffice not installed";
  tools->wine = wine();
  if (tools->wine == nullptr) return "wine or mingw-w64 not installed";
  return "";
}

namespace {

std::string run_tool(const std::vector<std::string>& argv) {
  const auto r = harness::run_process(argv);
  return r.status == 0 ? "" : argv[0] + " failed: " + r.err;
}

}  // namespace

std::string make_tone(const std::string& wav, int rate, int channels, int seconds, int hz) {
  return run_tool({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b", "16", wav, "synth",
                   std::to_string(seconds), "sine", std::to_string(hz)});
}

std::string make_mp3(const std::string& wav, const std::string& mp3, int kbps) {
  return run_tool({"lame", "--quiet", "-b", std::to_string(kbps), wav, mp3});
}

std::string make_flac(const std::string& wav, const std::string& flac) {
  return run_tool({"flac", "--silent", "--force", "-o", flac, wav});
}

}  // namespace dispatcher_fixtures
