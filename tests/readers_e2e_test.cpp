// Whole runs of the program on an MP3, a FLAC and a PDF file made here: the readers' texts reach
// the record's content (lowercased, without line feeds) under the media and PDF switches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

std::string lowered_without_line_feeds(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\n') out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

class ReadersEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"sox", "lame", "flac", "metaflac", "gs", "unshare"})
      if (!harness::have_tool(tool)) {
        missing_ = tool;
        return;
      }
    dir_ = new harness::TempDir;
    const std::string wav = dir_->file("tone.wav");
    ASSERT_EQ(dispatcher_fixtures::make_tone(wav, 44100, 2, 5, 440), "");
    mp3_ = dir_->file("Song Of It's.MP3");
    ASSERT_EQ(dispatcher_fixtures::make_mp3(wav, mp3_, 128), "");
    {
      TagLib::MPEG::File f(mp3_.c_str());
      TagLib::ID3v2::Tag* t = f.ID3v2Tag(true);
      t->setTitle(TagLib::String("Song \xE2\x82\xAC", TagLib::String::UTF8));
      t->setArtist("Band");
      t->setAlbum("Live");
      t->setYear(2001);
      t->setTrack(3);
      t->setGenre("Rock");
      ASSERT_TRUE(f.save());
    }
    TagLib::FileRef ref(mp3_.c_str(), true, TagLib::AudioProperties::Average);
    ASSERT_FALSE(ref.isNull());
    mp3_bitrate_ = std::to_string(ref.audioProperties()->bitrate());

    flac_ = dir_->file("take $(two).flac");
    ASSERT_EQ(dispatcher_fixtures::make_flac(wav, flac_), "");
    auto r = harness::run_process({"metaflac", "--remove-all-tags", "--set-tag=TITLE=Song", "--set-tag=ARTIST=Band", flac_});
    ASSERT_EQ(r.status, 0) << r.err;
    flac_vendor_ = harness::run_process({"metaflac", "--show-vendor-tag", flac_}).out;

    const std::string ps = dir_->file("two.ps");
    harness::write_file(ps,
                        "%!PS\n/Helvetica findfont 12 scalefont setfont\n"
                        "72 720 moveto (Alpha line one) show\n72 700 moveto (Beta line two) show\nshowpage\n"
                        "72 720 moveto (Gamma page two) show\n72 700 moveto (Delta last line) show\nshowpage\n");
    pdf_ = dir_->file("Two Pages `x`.pdf");
    r = harness::run_process({"gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=pdfwrite", "-sOutputFile=" + pdf_, ps});
    ASSERT_EQ(r.status, 0) << r.err;
    r = harness::run_process({"gs", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-dTextFormat=3", "-sOutputFile=-", pdf_});
    ASSERT_EQ(r.status, 0) << r.err;
    pdf_tool_out_ = r.out;
    ready_ = true;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_ << " not installed";
    ASSERT_TRUE(ready_);
  }

  // Runs the program on each path with the given media and PDF switches; returns the contents.
  std::vector<std::string> contents(const std::vector<std::string>& paths, const std::string& media,
                                    const std::string& pdf, const std::string& line_limit = "1000") {
    harness::Receiver receiver;
    harness::Sandbox box;
    auto config = harness::default_config(receiver.port());
    config[4] = line_limit;
    config[9] = "false";
    config[16] = media;
    config[17] = pdf;
    box.set_config(config);
    for (const std::string& path : paths) {
      const auto result = box.run({path});
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_FALSE(result.timed_out);
    }
    std::vector<std::string> got;
    for (const std::string& data : receiver.wait_connections(paths.size())) {
      std::string record, rest;
      EXPECT_TRUE(harness::split_delivery(data, &record, &rest));
      EXPECT_EQ(rest, "quit\r\n");
      got.push_back(harness::parse_record(record)["#INHALT#"]);
    }
    EXPECT_EQ(got.size(), paths.size());
    got.resize(paths.size());
    return got;
  }

  static std::string mp3_text() {
    return "titel:song \xE2\x82\xAC# artist:band# album:live# jahr:2001# kommentar:# track nr. :3# artist:band"
           "# genre:rock# l\xC3\xA4nge:0:05# bitrate:" + mp3_bitrate_ + "# samplerate:44100# channels:2";
  }
  static std::string flac_text() {
    return "title=song# artist=band# #track laenge:0.0833333 minuten #sample rate:44100#bits per sample:16"
           "#vendor tag:" + lowered_without_line_feeds(flac_vendor_) + "#channels:2";
  }
  // Lines 5 to 4 + n of the bare tool's output, as the record carries them.
  static std::string pdf_text(size_t n) {
    size_t start = 0;
    for (int i = 0; i < 4 && start != std::string::npos; ++i) {
      start = pdf_tool_out_.find('\n', start);
      if (start != std::string::npos) ++start;
    }
    size_t end = start;
    for (size_t i = 0; i < n && end != std::string::npos && end < pdf_tool_out_.size(); ++i) {
      end = pdf_tool_out_.find('\n', end);
      if (end != std::string::npos) ++end;
    }
    if (end == std::string::npos) end = pdf_tool_out_.size();
    return lowered_without_line_feeds(pdf_tool_out_.substr(start, end - start));
  }

  static harness::TempDir* dir_;
  static std::string missing_, mp3_, mp3_bitrate_, flac_, flac_vendor_, pdf_, pdf_tool_out_;
  static bool ready_;
};
harness::TempDir* ReadersEndToEnd::dir_ = nullptr;
std::string ReadersEndToEnd::missing_, ReadersEndToEnd::mp3_, ReadersEndToEnd::mp3_bitrate_, ReadersEndToEnd::flac_,
    ReadersEndToEnd::flac_vendor_, ReadersEndToEnd::pdf_, ReadersEndToEnd::pdf_tool_out_;
bool ReadersEndToEnd::ready_ = false;

TEST_F(ReadersEndToEnd, MediaAndPdfSwitchesOn) {
  const auto got = contents({mp3_, flac_, pdf_}, "true", "true");
  EXPECT_EQ(got[0], mp3_text());
  EXPECT_EQ(got[1], flac_text());
  EXPECT_EQ(got[2], pdf_text(1000));
  EXPECT_NE(got[2].find("alpha line one\r"), std::string::npos);
  EXPECT_NE(got[2].find("delta last line\r"), std::string::npos);
}

TEST_F(ReadersEndToEnd, LineLimitReachesThePdfReader) {
  const auto got = contents({pdf_}, "true", "true", " 2 lines");
  EXPECT_EQ(got[0], pdf_text(2));
  EXPECT_EQ(got[0].find("alpha"), std::string::npos);  // past the limit
}

TEST_F(ReadersEndToEnd, MediaSwitchOffKeepsMp3AndFlacOut) {
  const auto got = contents({mp3_, flac_, pdf_}, "True", "true");
  EXPECT_EQ(got[0], "");
  EXPECT_EQ(got[1], "");
  EXPECT_EQ(got[2], pdf_text(1000));
}

TEST_F(ReadersEndToEnd, PdfSwitchOffKeepsPdfOut) {
  const auto got = contents({mp3_, flac_, pdf_}, "true", "false");
  EXPECT_EQ(got[0], mp3_text());
  EXPECT_EQ(got[1], flac_text());
  EXPECT_EQ(got[2], "");
}

}  // namespace
