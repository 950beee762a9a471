// Tests of the three reader units: the pure text builders, the real tools (lame/TagLib,
// flac/metaflac, ps2pdf/gs) on fixtures made here, fake tools first on PATH that pin the exact
// arguments and the read and line rules, the time bound, and whole runs of the program.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tstring.h>

#include "process/command.h"
#include "readers/slots.h"
#include "readers/pagegrab.h"
#include "readers/tunegrab.h"
#include "readers/wavegrab.h"
#include "tests/harness.h"

using namespace tessary;

namespace {

const std::string kLaenge = "# L\xC3\xA4nge:";

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string numbered_lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

// Puts a directory first on PATH for the life of the object.
struct PathPrefix {
  explicit PathPrefix(const std::string& dir) {
    const char* old = getenv("PATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("PATH", (dir + ":" + old_).c_str(), 1);
  }
  ~PathPrefix() {
    if (had_)
      setenv("PATH", old_.c_str(), 1);
    else
      unsetenv("PATH");
  }
  bool had_ = false;
  std::string old_;
};

// Runs the test in `dir` as working directory for the life of the object, so a name like
// "$(touch pwned)" would leave its traces there if a shell ever ran it.
struct WorkingDir {
  explicit WorkingDir(const std::string& dir) {
    char buf[4096];
    old_ = getcwd(buf, sizeof buf) ? buf : "/";
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~WorkingDir() { EXPECT_EQ(chdir(old_.c_str()), 0); }
  std::string old_;
};

// File names that a shell would take apart or run; each must reach the tool unchanged.
const std::vector<std::string> kHostileNames = {
    "it's $(touch pwned1)",
    "`touch pwned2`;touch pwned3 & x|y>z",
    "line\nfeed  two blanks\ttab \"dq\" back\\slash *?[a] ~ #",
};

void expect_nothing_ran(const std::string& dir) {
  for (const char* trace : {"pwned1", "pwned2", "pwned3"})
    EXPECT_NE(access((dir + "/" + trace).c_str(), F_OK), 0) << trace << " was created";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// MP3 text builder (no TagLib, no file)

TEST(ReadersTagText, WorkedExampleByteForByte) {
  TagValues v;
  v.title = "Song";
  v.artist = "Band";
  v.album = "Live";
  v.year = 2001;
  v.track = 3;
  v.genre = "Rock";
  v.length_seconds = 245;
  v.bitrate = 192;
  v.sample_rate = 44100;
  v.channels = 2;
  EXPECT_EQ(build_tag_text(v),
            "Titel:Song# Artist:Band# Album:Live# Jahr:2001# Kommentar:# Track Nr. :3# Artist:Band"
            "# Genre:Rock" + kLaenge + "4:05# Bitrate:192# sampleRate:44100# Channels:2\n");
}

TEST(ReadersTagText, LengthIsMinutesColonTwoDigitSeconds) {
  const std::pair<int, const char*> cases[] = {{0, "0:00"},     {5, "0:05"},     {59, "0:59"},
                                               {60, "1:00"},    {65, "1:05"},    {245, "4:05"},
                                               {3599, "59:59"}, {3600, "60:00"}, {360061, "6001:01"}};
  for (const auto& c : cases) EXPECT_EQ(format_mp3_length(c.first), c.second) << c.first;
}

TEST(ReadersTagText, EmptyValuesAndHostileTextPassUnchanged) {
  // An unreadable file: every label present, the artist twice, zeros for the numbers.
  EXPECT_EQ(build_tag_text(TagValues{}),
            "Titel:# Artist:# Album:# Jahr:0# Kommentar:# Track Nr. :0# Artist:# Genre:" + kLaenge +
                "0:00# Bitrate:0# sampleRate:0# Channels:0\n");
  TagValues v;
  v.title = "a# Artist:b\nc";
  v.comment = std::string("x\0y", 3);
  v.artist = "\xE6\x97\xA5";
  v.year = 4294967295u;
  v.bitrate = -1;
  const std::string text = build_tag_text(v);
  EXPECT_EQ(text.substr(0, 19), "Titel:a# Artist:b\nc");
  EXPECT_NE(text.find(std::string("# Kommentar:x\0y# Track", 22)), std::string::npos);
  EXPECT_NE(text.find("# Jahr:4294967295# "), std::string::npos);
  EXPECT_NE(text.find("# Bitrate:-1# "), std::string::npos);
  // The fill set for the seconds must not leak into any other value.
  EXPECT_NE(text.find("# sampleRate:0# Channels:0\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// FLAC output parser and text builder (no tool)

TEST(ReadersFlacText, WorkedExampleSevenLines) {
  const std::string text = build_flac_text(
      {"10804500\n", "44100\n", "encoder 1.0\n", "16\n", "2\n", "TITLE=Song\n", "ARTIST=Band\n"});
  EXPECT_EQ(text,
            "TITLE=Song\n"
            "# ARTIST=Band\n"
            "# #Track Laenge:4.08333 Minuten \n"
            "#Sample Rate:44100\n"
            "#Bits per Sample:16\n"
            "#Vendor Tag:encoder 1.0\n"
            "#Channels:2\n");
}

TEST(ReadersFlacText, LengthInDecimalMinutesAsTheDefaultStreamWritesIt) {
  EXPECT_EQ(format_flac_minutes("10804500\n", "44100\n"), "4.08333");
  EXPECT_EQ(format_flac_minutes("10584000\n", "44100\n"), "4");
  EXPECT_EQ(format_flac_minutes("9261000", "44100"), "3.5");
  EXPECT_EQ(format_flac_minutes("2646000000000", "44100"), "1e+06");  // a million minutes
  EXPECT_EQ(format_flac_minutes("2717766000000", "44100"), "1.02712e+06");
  EXPECT_EQ(format_flac_minutes("  441 trailing words", "44100xyz"), "0.000166667");
  EXPECT_EQ(format_flac_minutes("1", "44100"), "3.77929e-07");
  EXPECT_EQ(format_flac_minutes("abc", "44100"), "0");
  EXPECT_EQ(format_flac_minutes("10", "0"), "inf");
  EXPECT_EQ(format_flac_minutes("-10", "0"), "-inf");
}

TEST(ReadersFlacText, EmptyOutputGivesNotANumberAndBareLabels) {
  // 0 / 0 / 60 is computed at run time from what strtod gave; the expected text is whatever this
  // platform's stream writes for that NaN ("-nan" on x86-64, whose default NaN has its sign set).
  volatile double zero = 0.0;
  std::ostringstream nan_text;
  nan_text << zero / zero / 60.0;
  ASSERT_TRUE(nan_text.str() == "nan" || nan_text.str() == "-nan") << nan_text.str();
  const std::string text = build_flac_text({});
  EXPECT_EQ(text, "#Track Laenge:" + nan_text.str() +
                      " Minuten \n#Sample Rate:#Bits per Sample:#Vendor Tag:#Channels:");
  EXPECT_EQ(build_flac_text({"10\n", "0\n"}).substr(0, 17), "#Track Laenge:inf");
}

TEST(ReadersFlacText, TagCountDecidesHowTheTextBegins) {
  const std::vector<std::string> values = {"10584000\n", "44100\n", "v\n", "16\n", "2\n"};
  EXPECT_EQ(build_flac_text(values),
            "#Track Laenge:4 Minuten \n#Sample Rate:44100\n#Bits per Sample:16\n#Vendor Tag:v\n"
            "#Channels:2\n");
  auto one = values;
  one.push_back("TITLE=x\n");
  EXPECT_EQ(build_flac_text(one).substr(0, 26), "TITLE=x\n# #Track Laenge:4 ");
  // Output that stops inside the five values: the missing ones stay empty, and a last value
  // without its line feed keeps the next label on its line.
  EXPECT_EQ(build_flac_text({"10584000\n", "44100\n", "vendor"}),
            "#Track Laenge:4 Minuten \n#Sample Rate:44100\n#Bits per Sample:#Vendor Tag:vendor"
            "#Channels:");
}

TEST(ReadersFlacText, EveryPieceCountsAsOneLine) {
  // An over-long first line arrives as two pieces and shifts every later position by one.
  const std::string head(kPieceMax, '1');
  const std::string text = build_flac_text({head, "0\n", "44100\n", "vendor\n", "16\n", "2\n"});
  EXPECT_EQ(text,
            "2\n# #Track Laenge:inf Minuten \n#Sample Rate:0\n#Bits per Sample:vendor\n#Vendor Tag:44100\n"
            "#Channels:16\n");
}

TEST(ReadersFlacText, TagBlockIsBounded) {
  FlacOutput out;
  for (const char* v : {"1\n", "1\n", "v\n", "8\n", "1\n"}) add_flac_piece(&out, v);
  const std::string piece(kPieceMax, 't');
  const size_t fitting = kFlacTagBlockMax / (piece.size() + 2);
  for (size_t i = 0; i < fitting + 5; ++i) add_flac_piece(&out, piece);
  add_flac_piece(&out, "SMALL=1\n");  // nothing after the first dropped line is taken
  EXPECT_EQ(out.tag_block.size(), fitting * (piece.size() + 2));
  EXPECT_LE(out.tag_block.size(), kFlacTagBlockMax);
  EXPECT_TRUE(out.tags_truncated);
  EXPECT_EQ(out.tag_block.substr(out.tag_block.size() - 3), "t# ");
  EXPECT_EQ(out.lines, 5 + fitting + 6);
  EXPECT_EQ(out.value[4], "1\n");
}

// ---------------------------------------------------------------------------------------------
// PDF line keeper (no tool)

TEST(ReadersPdfLines, SkipsFourThenKeepsUpToTheLimit) {
  std::vector<std::string> ten;
  for (int i = 1; i <= 10; ++i) ten.push_back("line " + std::to_string(i) + "\n");
  EXPECT_EQ(keep_pdf_lines(ten, "3"), "line 5\nline 6\nline 7\n");
  EXPECT_EQ(keep_pdf_lines(ten, "1000"), numbered_lines(5, 10));
  EXPECT_EQ(keep_pdf_lines({"a\n", "b\n", "c\n", "d\n"}, "1000"), "");
  EXPECT_EQ(keep_pdf_lines({}, "1000"), "");
  EXPECT_EQ(keep_pdf_lines({"1\n", "2\n", "3\n", "4\n", "last without feed"}, "5"), "last without feed");
}

TEST(ReadersPdfLines, LimitTextIsParsedAsALeadingDecimalNumber) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"10 words", 10},      {"  7", 7},          {"+3", 3},
      {"-2", -2},            {"", 0},             {"abc", 0},
      {"0x10", 0},           {"012", 12},         {"2147483647", 2147483647},
      {"2147483648", 2147483647},                 {"4294967297", 2147483647},
      {"99999999999999999999999", 2147483647},    {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},           {"\t\n 5x", 5}};
  for (const auto& c : cases) EXPECT_EQ(parse_pdf_line_limit(c.first), c.second) << c.first;
  std::vector<std::string> ten;
  for (int i = 1; i <= 10; ++i) ten.push_back(std::to_string(i) + "\n");
  for (const char* none : {"", "0", "-5", "none", "-99999999999"}) EXPECT_EQ(keep_pdf_lines(ten, none), "") << none;
  EXPECT_EQ(keep_pdf_lines(ten, "2 lines"), "5\n6\n");
  EXPECT_EQ(keep_pdf_lines(ten, "4294967297"), "5\n6\n7\n8\n9\n10\n");  // no wrap to 1
}

TEST(ReadersPdfLines, KeptTextIsBoundedWhateverTheLimit) {
  PdfLines lines;
  lines.limit = parse_pdf_line_limit("2147483647");
  const std::string piece(kPieceMax, 'p');
  const size_t fitting = kPdfTextMax / piece.size();
  for (size_t i = 0; i < 4 + fitting + 3; ++i) keep_pdf_piece(&lines, piece);
  keep_pdf_piece(&lines, "tiny\n");
  EXPECT_EQ(lines.text.size(), fitting * piece.size());
  EXPECT_EQ(lines.lines_kept, static_cast<std::int32_t>(fitting));
  EXPECT_EQ(lines.lines_read, 4 + fitting + 4);
  EXPECT_TRUE(lines.truncated);
}

// ---------------------------------------------------------------------------------------------
// MP3 through TagLib on files encoded by lame

class ReadersMp3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!harness::have_tool("sox") || !harness::have_tool("lame")) return;
    dir_ = new harness::TempDir;
    const std::string wav = dir_->file("tone.wav");
    auto r = harness::run_process({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "5", "sine", "440"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"lame", "--quiet", "-b", "128", wav, dir_->file("plain.mp3")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string plain = harness::read_file(dir_->file("plain.mp3"));
    harness::write_file(dir_->file("tagged.mp3"), plain);
    harness::write_file(dir_->file("unicode.mp3"), plain);
    harness::write_file(dir_->file("it's $(x) `y`\nz.mp3"), plain);
    tag(dir_->file("tagged.mp3"), "Song", "Band", "Live", 2001, "", 3, "Rock");
    tag(dir_->file("unicode.mp3"), "\xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC \xC3\xBC\xC3\x9F",
        "Mot\xC3\xB6rhead", "A# Album:\nB", 1999, "note", 12, "\xE2\x98\x83");
    tag(dir_->file("it's $(x) `y`\nz.mp3"), "Odd", "Name", "", 0, "", 0, "");
    harness::write_file(dir_->file("text.mp3"), "This is a plain text file, no audio at all.\n");
    ready_ = true;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "sox or lame not installed";
  }
  static void tag(const std::string& path, const char* title, const char* artist, const char* album,
                  unsigned year, const char* comment, unsigned track, const char* genre) {
    TagLib::MPEG::File f(path.c_str());
    TagLib::ID3v2::Tag* t = f.ID3v2Tag(true);
    t->setTitle(TagLib::String(title, TagLib::String::UTF8));
    t->setArtist(TagLib::String(artist, TagLib::String::UTF8));
    t->setAlbum(TagLib::String(album, TagLib::String::UTF8));
    t->setYear(year);
    t->setComment(TagLib::String(comment, TagLib::String::UTF8));
    t->setTrack(track);
    t->setGenre(TagLib::String(genre, TagLib::String::UTF8));
    ASSERT_TRUE(f.save());
  }
  static std::string grab(const std::string& path) {
    pfad_fuer_mp3 = path;
    mp3_tags_content = "left over from before";
    tunegrab();
    return mp3_tags_content;
  }
  static harness::TempDir* dir_;
  static bool ready_;
};
harness::TempDir* ReadersMp3::dir_ = nullptr;
bool ReadersMp3::ready_ = false;

// 5 s of 44.1 kHz stereo encoded at 128 kbit/s. The bitrate is TagLib's own figure at the Average
// read style (from the stream size and length, so near 128 rather than exactly it).
std::string tone_props(const std::string& path) {
  TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Average);
  const int bitrate = ref.isNull() || !ref.audioProperties() ? -1 : ref.audioProperties()->bitrate();
  EXPECT_GE(bitrate, 126);
  EXPECT_LE(bitrate, 130);
  return kLaenge + "0:05# Bitrate:" + std::to_string(bitrate) + "# sampleRate:44100# Channels:2\n";
}

TEST_F(ReadersMp3, TaggedFileGivesTheLabelledLine) {
  EXPECT_EQ(grab(dir_->file("tagged.mp3")),
            "Titel:Song# Artist:Band# Album:Live# Jahr:2001# Kommentar:# Track Nr. :3# Artist:Band"
            "# Genre:Rock" + tone_props(dir_->file("tagged.mp3")));
  EXPECT_EQ(pfad_fuer_mp3, dir_->file("tagged.mp3"));  // the input slot is only read
}

TEST_F(ReadersMp3, TagTextArrivesAsUtf8) {
  // Japanese and the euro sign lie above U+00FF, the umlauts within Latin-1: all arrive as UTF-8.
  EXPECT_EQ(grab(dir_->file("unicode.mp3")),
            "Titel:\xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC \xC3\xBC\xC3\x9F# Artist:Mot\xC3\xB6rhead"
            "# Album:A# Album:\nB# Jahr:1999# Kommentar:note# Track Nr. :12# Artist:Mot\xC3\xB6rhead"
            "# Genre:\xE2\x98\x83" + tone_props(dir_->file("unicode.mp3")));
}

TEST_F(ReadersMp3, UntaggedFileGivesEmptyTagsAndRealProperties) {
  EXPECT_EQ(grab(dir_->file("plain.mp3")),
            "Titel:# Artist:# Album:# Jahr:0# Kommentar:# Track Nr. :0# Artist:# Genre:" +
                tone_props(dir_->file("plain.mp3")));
}

TEST_F(ReadersMp3, UnreadableFilesGiveLabelsWithEmptyValues) {
  const std::string empty = build_tag_text(TagValues{});
  EXPECT_EQ(grab(dir_->file("text.mp3")), empty);
  EXPECT_EQ(grab(dir_->file("does-not-exist.mp3")), empty);
  EXPECT_EQ(grab(dir_->path), empty);  // a directory
  EXPECT_EQ(grab(""), empty);
}

TEST_F(ReadersMp3, OddFileNameIsReadDirectly) {
  EXPECT_EQ(grab(dir_->file("it's $(x) `y`\nz.mp3")),
            "Titel:Odd# Artist:Name# Album:# Jahr:0# Kommentar:# Track Nr. :0# Artist:Name# Genre:" +
                tone_props(dir_->file("it's $(x) `y`\nz.mp3")));
}

// ---------------------------------------------------------------------------------------------
// FLAC through the real metaflac

class ReadersFlac : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!harness::have_tool("sox") || !harness::have_tool("flac") || !harness::have_tool("metaflac")) return;
    dir_ = new harness::TempDir;
    const std::string wav = dir_->file("tone.wav");
    auto r = harness::run_process({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "5", "sine", "440"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"flac", "--silent", "--force", "-o", dir_->file("none.flac"), wav});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string none = harness::read_file(dir_->file("none.flac"));
    harness::write_file(dir_->file("one.flac"), none);
    harness::write_file(dir_->file("two.flac"), none);
    r = harness::run_process({"metaflac", "--remove-all-tags", dir_->file("none.flac")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"metaflac", "--remove-all-tags", "--set-tag=TITLE=Song", dir_->file("one.flac")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"metaflac", "--remove-all-tags", "--set-tag=TITLE=Song", "--set-tag=ARTIST=Band",
                              dir_->file("two.flac")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"metaflac", "--show-vendor-tag", dir_->file("none.flac")});
    vendor_ = r.out;
    ready_ = true;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "sox, flac or metaflac not installed";
  }
  static std::string grab(const std::string& path) {
    pfad_uebergabe_flac = path;
    flac_tags_content = "left over from before";
    wavegrab();
    return flac_tags_content;
  }
  // 220500 samples at 44100 Hz: 5 s, 0.0833333 minutes.
  static std::string facts() {
    return "#Track Laenge:0.0833333 Minuten \n#Sample Rate:44100\n#Bits per Sample:16\n#Vendor Tag:" +
           vendor_ + "#Channels:2\n";
  }
  static harness::TempDir* dir_;
  static std::string vendor_;
  static bool ready_;
};
harness::TempDir* ReadersFlac::dir_ = nullptr;
std::string ReadersFlac::vendor_;
bool ReadersFlac::ready_ = false;

TEST_F(ReadersFlac, ZeroOneAndTwoTags) {
  ASSERT_EQ(vendor_.substr(0, 18), "reference libFLAC ");
  EXPECT_EQ(grab(dir_->file("none.flac")), facts());
  EXPECT_EQ(grab(dir_->file("one.flac")), "TITLE=Song\n# " + facts());
  EXPECT_EQ(grab(dir_->file("two.flac")), "TITLE=Song\n# ARTIST=Band\n# " + facts());
  EXPECT_EQ(pfad_uebergabe_flac, dir_->file("two.flac"));
}

TEST_F(ReadersFlac, NotAFlacFileOrMissingFileGivesBareLabels) {
  harness::write_file(dir_->file("text.flac"), "no audio here\n");
  const std::string bare = build_flac_text({});
  EXPECT_EQ(grab(dir_->file("text.flac")), bare);
  EXPECT_EQ(grab(dir_->file("missing.flac")), bare);
}

TEST_F(ReadersFlac, HostileNamesReachTheToolAndNothingRuns) {
  harness::TempDir work;
  WorkingDir cwd(work.path);
  const std::string two = harness::read_file(dir_->file("two.flac"));
  for (const std::string& name : kHostileNames) {
    const std::string path = work.file(name + ".flac");
    harness::write_file(path, two);
    EXPECT_EQ(grab(path), "TITLE=Song\n# ARTIST=Band\n# " + facts()) << name;
  }
  // A relative name with a leading dash reaches the tool as "./" and the name: the tool reads
  // the file instead of taking its name for options.
  harness::write_file(work.file("-x.flac"), two);
  EXPECT_EQ(grab("-x.flac"), "TITLE=Song\n# ARTIST=Band\n# " + facts());
  expect_nothing_ran(work.path);
}

TEST_F(ReadersFlac, MissingToolIsLikeEmptyOutput) {
  harness::TempDir empty_bin;
  const char* old = getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", empty_bin.path.c_str(), 1);
  testing::internal::CaptureStderr();
  const std::string text = grab(dir_->file("two.flac"));
  const std::string err = testing::internal::GetCapturedStderr();
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(text, build_flac_text({}));
  EXPECT_NE(err.find("metaflac"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// PDF through the real Ghostscript

class ReadersPdf : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!harness::have_tool("gs")) return;
    dir_ = new harness::TempDir;
    harness::write_file(dir_->file("two.ps"),
                        "%!PS\n/Helvetica findfont 12 scalefont setfont\n"
                        "72 720 moveto (Alpha line one) show\n72 700 moveto (Beta line two) show\nshowpage\n"
                        "72 720 moveto (Gamma page two) show\n72 700 moveto (Delta last line) show\nshowpage\n");
    auto r = harness::run_process({"gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=pdfwrite",
                                   "-sOutputFile=" + dir_->file("two.pdf"), dir_->file("two.ps")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"gs", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-dTextFormat=3",
                              "-sOutputFile=-", dir_->file("two.pdf")});
    ASSERT_EQ(r.status, 0) << r.err;
    bare_lines_ = split_lines(r.out);
    ready_ = true;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "gs not installed";
  }
  static std::string grab(const std::string& path, const std::string& limit) {
    pfad_uebergabe_pdf = path;
    pagegrab_max_lines = limit;
    pdf_content = "left over from before";
    pagegrab();
    return pdf_content;
  }
  // Lines 5 to 4 + n of what the bare tool printed.
  static std::string bare(size_t n) {
    std::string s;
    for (size_t i = 4; i < bare_lines_.size() && i < 4 + n; ++i) s += bare_lines_[i];
    return s;
  }
  static harness::TempDir* dir_;
  static std::vector<std::string> bare_lines_;
  static bool ready_;
};
harness::TempDir* ReadersPdf::dir_ = nullptr;
std::vector<std::string> ReadersPdf::bare_lines_;
bool ReadersPdf::ready_ = false;

TEST_F(ReadersPdf, KeepsTheToolsLinesAfterTheFourthUpToTheLimit) {
  const std::string all = grab(dir_->file("two.pdf"), "1000");
  EXPECT_EQ(all, bare(1000));
  for (const char* text : {"Alpha line one", "Beta line two", "Gamma page two", "Delta last line"})
    EXPECT_NE(all.find(text), std::string::npos) << text;
  EXPECT_LT(all.find("Alpha"), all.find("Delta"));
  EXPECT_EQ(all.find("Copyright"), std::string::npos);  // the banner is in the dropped lines
  EXPECT_EQ(grab(dir_->file("two.pdf"), "2"), bare(2));
  EXPECT_EQ(split_lines(pdf_content).size(), 2u);
  EXPECT_EQ(grab(dir_->file("two.pdf"), "0"), "");
  EXPECT_EQ(grab(dir_->file("two.pdf"), "x"), "");
  EXPECT_EQ(pfad_uebergabe_pdf, dir_->file("two.pdf"));
  EXPECT_EQ(pagegrab_max_lines, "x");
}

TEST_F(ReadersPdf, HostileNamesReachTheToolAndNothingRuns) {
  harness::TempDir work;
  WorkingDir cwd(work.path);
  const std::string pdf = harness::read_file(dir_->file("two.pdf"));
  for (const std::string& name : kHostileNames) {
    const std::string path = work.file(name + ".pdf");
    harness::write_file(path, pdf);
    const std::string text = grab(path, "1000");
    EXPECT_NE(text.find("Alpha line one"), std::string::npos) << name;
    EXPECT_NE(text.find("Delta last line"), std::string::npos) << name;
  }
  // Relative names that gs would read as a switch, an argument file or a device: it reads the
  // file instead.
  for (const std::string name : {"-x.pdf", "@x.pdf", "%x.pdf"}) {
    harness::write_file(work.file(name), pdf);
    EXPECT_NE(grab(name, "1000").find("Alpha line one"), std::string::npos) << name;
  }
  expect_nothing_ran(work.path);
}

TEST_F(ReadersPdf, NotAPdfGivesAtMostTheToolsMessages) {
  harness::write_file(dir_->file("junk.pdf"), "not a pdf at all\n");
  testing::internal::CaptureStderr();
  const std::string text = grab(dir_->file("junk.pdf"), "1000");
  EXPECT_EQ(text.find("not a pdf"), std::string::npos);
  EXPECT_EQ(grab(dir_->file("missing.pdf"), "1000").find("Alpha"), std::string::npos);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Unrecoverable error"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Fake tools first on PATH: exact arguments, the read rules, the time bound

class ReadersFakeTools : public ::testing::Test {
 protected:
  void SetUp() override { path_ = std::make_unique<PathPrefix>(bin_.path); }
  void TearDown() override { path_.reset(); }
  // Installs `name` printing what `body` prints, after writing its arguments NUL-separated.
  void fake(const std::string& name, const std::string& body) {
    harness::write_script(bin_.file(name), "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + bin_.file("args") +
                                               "'\n" + body + "\n");
  }
  std::string args() const { return harness::read_file(bin_.file("args")); }
  static std::string nul_joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& a : v) s += a + '\0';
    return s;
  }
  harness::TempDir bin_;
  std::unique_ptr<PathPrefix> path_;
};

TEST_F(ReadersFakeTools, ToolsGetExactlyTheFixedArgumentsAndThePath) {
  fake("metaflac", "printf '10804500\\n44100\\nencoder 1.0\\n16\\n2\\nTITLE=Song\\nARTIST=Band\\n'");
  fake("gs", "printf 'a\\nb\\nc\\nd\\ne\\n'");
  for (const std::string& name : {std::string("plain.flac"), std::string("-lead"), std::string("it's $(x)\n`y`"),
                                  std::string(" "), std::string("")}) {
    pfad_uebergabe_flac = name;
    wavegrab();
    // A relative name that starts with "-" goes as "./" and the name; every other one as it is.
    const std::string given = name[0] == '-' ? "./" + name : name;
    EXPECT_EQ(args(), nul_joined({"--show-total-samples", "--show-sample-rate", "--show-vendor-tag", "--show-bps",
                                  "--show-channels", "--export-tags-to=-", given}));
    EXPECT_EQ(flac_tags_content,
              "TITLE=Song\n# ARTIST=Band\n# #Track Laenge:4.08333 Minuten \n#Sample Rate:44100\n"
              "#Bits per Sample:16\n#Vendor Tag:encoder 1.0\n#Channels:2\n");
    pfad_uebergabe_pdf = name;
    pagegrab_max_lines = "10";
    pagegrab();
    EXPECT_EQ(args(), nul_joined({"-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-dTextFormat=3",
                                  "-sOutputFile=-", given}));
    EXPECT_EQ(pdf_content, "e\n");
  }
}

TEST_F(ReadersFakeTools, PdfOutputIsReadToItsEndInPieces) {
  // Ten lines, limit 3: lines 5 to 7. The tool finishes although the limit was reached early.
  fake("gs", "seq 1 200000 | sed 's/^/line /'\ntouch '" + bin_.file("finished") + "'");
  pfad_uebergabe_pdf = "x.pdf";
  pagegrab_max_lines = "3";
  pagegrab();
  EXPECT_EQ(pdf_content, "line 5\nline 6\nline 7\n");
  EXPECT_EQ(access(bin_.file("finished").c_str(), F_OK), 0) << "the tool was cut off";

  // An over-long line is several pieces, each a line; a NUL ends what a piece gives; the last
  // line may lack its line feed.
  fake("gs", "printf '1\\n2\\n3\\n'; head -c 120000 /dev/zero | tr '\\0' a; printf '\\nab\\0cd\\nef\\n\\0gh\\nlast'");
  pagegrab_max_lines = "1000";
  pagegrab();
  EXPECT_EQ(pdf_content, std::string(120000 - kPieceMax, 'a') + "\n" + "ab" + "ef\n" + "" + "last");
  pagegrab_max_lines = "1";  // the first piece of the long line is line 4: dropped
  pagegrab();
  EXPECT_EQ(pdf_content, std::string(kPieceMax, 'a'));
}

TEST_F(ReadersFakeTools, FlacPiecesShiftPositionsAndLongTagsSplit) {
  fake("metaflac", "printf '10584000\\n44100\\nv\\n16\\n2\\n'; head -c 100000 /dev/zero | tr '\\0' t; printf '\\nB=\\0x\\nC=1'");
  pfad_uebergabe_flac = "x.flac";
  wavegrab();
  EXPECT_EQ(flac_tags_content, std::string(kPieceMax, 't') + "# " + std::string(kPieceMax, 't') + "# " + "tttt\n# " +
                                   "B=# C=1# #Track Laenge:4 Minuten \n#Sample Rate:44100\n#Bits per Sample:16\n"
                                   "#Vendor Tag:v\n#Channels:2\n");
  fake("metaflac", "printf ''");
  wavegrab();
  EXPECT_EQ(flac_tags_content, build_flac_text({}));
}

TEST_F(ReadersFakeTools, HungToolIsEndedWithItsWholeGroupAndItsOutputCounts) {
  const std::string marker = std::to_string(3000000 + getpid() % 1000000);
  const std::string body = "printf '1\\n2\\n3\\n4\\nkept\\n'\nsleep " + marker + "1 &\nsleep " + marker + "2";
  fake("gs", body);
  fake("metaflac", "printf '600\\n10\\nv\\n8\\n1\\nT=1\\n'\nsleep " + marker + "1 &\nsleep " + marker + "2");
  pfad_uebergabe_pdf = "x.pdf";
  pagegrab_max_lines = "5";
  auto start = std::chrono::steady_clock::now();
  run_pagegrab(/*time_limit_seconds=*/1);
  double pdf_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(pdf_content, "kept\n");
  EXPECT_TRUE(harness::processes_matching("sleep " + marker).empty());

  pfad_uebergabe_flac = "x.flac";
  start = std::chrono::steady_clock::now();
  run_wavegrab(/*time_limit_seconds=*/1);
  double flac_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(flac_tags_content, "T=1\n# #Track Laenge:1 Minuten \n#Sample Rate:10\n#Bits per Sample:8\n"
                               "#Vendor Tag:v\n#Channels:1\n");
  EXPECT_TRUE(harness::processes_matching("sleep " + marker).empty());
  EXPECT_GE(pdf_s, 0.9);
  EXPECT_LT(pdf_s, 6.0);
  EXPECT_GE(flac_s, 0.9);
  EXPECT_LT(flac_s, 6.0);
}

TEST(ReadersOpenFailed, NoPipeEndsTheProcessWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto without_descriptors = [] {
    // Every new descriptor fails with EMFILE, so the pipe to the tool cannot be made. The limit
    // is put back as the process ends, before the library's own exit work, which (under the
    // sanitizers) needs descriptors of its own.
    static struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit lim = {3, saved.rlim_max};
    setrlimit(RLIMIT_NOFILE, &lim);
    std::atexit([] { setrlimit(RLIMIT_NOFILE, &saved); });
  };
  EXPECT_EXIT(
      {
        without_descriptors();
        pfad_uebergabe_pdf = "x.pdf";
        pagegrab_max_lines = "5";
        pagegrab();
        std::exit(7);
      },
      ::testing::ExitedWithCode(0), "open failed: ");
  EXPECT_EXIT(
      {
        without_descriptors();
        pfad_uebergabe_flac = "x.flac";
        wavegrab();
        std::exit(7);
      },
      ::testing::ExitedWithCode(0), "open failed: ");
}
