// Eight runs at a time over a mixed corpus of a few hundred files made here (text of several
// kinds, office documents, PDFs, MP3s, FLACs, DOS and Windows programs), all with the real tools
// and one receiver: every record complete and byte-correct, every file's times back to the
// nanosecond, no temporary file or profile left, no process outliving the batch.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <set>
#include <thread>

#include "extract/office.h"
#include "tests/dispatcher_fixtures.h"
#include "tests/harness.h"

namespace {

constexpr int kRunsAtOnce = 8;

/// Process names that belong to wine's own server and its services; they end by themselves a
/// few seconds after the last wine client is gone.
const std::set<std::string> kWineHousekeeping = {"wineserver",  "services.exe", "winedevice.exe", "plugplay.exe",
                                                 "explorer.exe", "svchost.exe",  "rpcss.exe",      "conhost.exe"};

struct Item {
  std::string path;
  std::string content;  ///< the record's "#INHALT#" as expected
  timespec atime{}, mtime{};
  std::string kind;
};

std::string utc_text(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buffer[32];
  strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
  return buffer;
}

/// ISO-8859-1 form of a UTF-8 text whose characters all lie below U+0100.
std::string latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    }
  }
  return out;
}

/// Text files of seven kinds; `content` is what the record must carry.
Item make_text(const std::string& dir, int i, std::mt19937& rng) {
  static const char* const kWords[] = {"Apple", "river", "STONE", "Cloud", "garden", "Mirror", "paper", "LANTERN",
                                       "window", "Quiet", "forest", "7", "2024", "north", "Yellow", "table,", "end."};
  static const char* const kUtf8[] = {"Grüße aus Köln", "Straße und Brücke", "Preis: 12 € netto", "Ärger über Öl",
                                      "naïve café", "Ελληνικά Wörter", "日本語のテキスト"};
  // Lines whose detection as ISO-8859-1 (or windows-1252) is stable.
  static const char* const kLatin1[] = {"Grüße aus München und Köln, schöne Grüße an Jürgen und Bärbel",
                                        "Die Straßenbahn fährt über die Brücke zur Gärtnerei am Fluß",
                                        "Öffnungszeiten: Montag bis Freitag, Änderungen vorbehalten, Übersicht"};
  auto words = [&](int n) {
    std::string line;
    for (int w = 0; w < n; ++w) line += std::string(w ? " " : "") + kWords[rng() % (sizeof kWords / sizeof *kWords)];
    return line;
  };
  Item item;
  std::string text, expected_source;
  const int lines = 1 + static_cast<int>(rng() % 8);
  switch (i % 8) {
    case 0:
    case 1:  // ASCII, LF line ends
      item.kind = "ascii";
      for (int l = 0; l < lines; ++l) text += words(3 + static_cast<int>(rng() % 9)) + "\n";
      break;
    case 2:  // UTF-8
      item.kind = "utf8";
      for (int l = 0; l < lines; ++l)
        text += words(2) + " " + kUtf8[rng() % (sizeof kUtf8 / sizeof *kUtf8)] + " " + words(2) + "\n";
      break;
    case 3: {  // ISO-8859-1
      item.kind = "latin1";
      for (int l = 0; l < lines; ++l) expected_source += std::string(kLatin1[rng() % 3]) + "\n";
      text = latin1(expected_source);
      break;
    }
    case 4:  // CR LF line ends
      item.kind = "crlf";
      for (int l = 0; l < lines; ++l) text += words(4) + "\r\n";
      break;
    case 5:  // empty
      item.kind = "empty";
      break;
    case 6:  // CR only
      item.kind = "cr";
      for (int l = 0; l < lines + 1; ++l) text += words(4) + "\r";
      break;
    default:  // one line without a line feed
      item.kind = "noeol";
      text = words(6);
      break;
  }
  item.path = dir + "/" + item.kind + "-" + std::to_string(i) + ".txt";
  harness::write_file(item.path, text);
  // Every kind but Latin-1 is taken as it is (valid UTF-8), then lowercased without line feeds.
  item.content = harness::record_content(expected_source.empty() ? text : expected_source);
  return item;
}

/// Copies `from` to `to` byte for byte.
void copy_file(const std::string& from, const std::string& to) { harness::write_file(to, harness::read_file(from)); }

/// The entries of `dir` that are not in `before` and not the test harness's own directories.
std::vector<std::string> new_entries(const std::string& dir, const std::vector<std::string>& before) {
  std::vector<std::string> added;
  for (const std::string& name : harness::directory_entries(dir)) {
    if (std::binary_search(before.begin(), before.end(), name)) continue;
    // The test harness's own directories; wine's server directories, which it keeps by design
    // (/tmp/.wine-UID, or TMPDIR/wine-XXXXXX); the compiler's temporaries of builds running on
    // the same machine.
    if (name.rfind("tessary-test-", 0) == 0 || name.rfind(".wine-", 0) == 0 || name.rfind("wine-", 0) == 0 ||
        (name.rfind("cc", 0) == 0 && name.size() == 10 && name[8] == '.'))
      continue;
    added.push_back(name);
  }
  return added;
}

/// Like new_entries, but an entry must still be there a moment later: other programs on the
/// machine make and remove their own temporaries meanwhile.
std::vector<std::string> lasting_new_entries(const std::string& dir, const std::vector<std::string>& before) {
  std::vector<std::string> added = new_entries(dir, before);
  if (added.empty()) return added;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::vector<std::string> still;
  for (const std::string& name : new_entries(dir, before))
    if (std::find(added.begin(), added.end(), name) != added.end()) still.push_back(name);
  return still;
}

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += "[" + n + "] ";
  return out;
}

}  // namespace

TEST(ParallelRuns, MixedCorpusEightAtATime) {
  dispatcher_fixtures::RealTools tools;
  const std::string why_not = dispatcher_fixtures::prepare_real_tools(&tools);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const std::string& office = tools.office;
  const dispatcher_fixtures::Wine* wine = tools.wine;
  const auto setup_start = std::chrono::steady_clock::now();

  harness::Receiver receiver;
  harness::Sandbox box;
  const std::string corpus = box.root.file("corpus");
  const std::string made = box.root.file("made");
  const std::string work = box.root.file("work") + "/";
  const std::string tmpdir = box.root.file("tmp");
  for (const std::string& d : {corpus, made, work, tmpdir}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
  auto config = harness::default_config(receiver.port());
  config[7] = wine->program;
  config[8] = work;
  box.set_config(config);

  std::mt19937 rng(20240517);
  std::vector<Item> items;
  for (int i = 0; i < 260; ++i) items.push_back(make_text(corpus, i, rng));

  // PDFs: three made by Ghostscript, four copies of each.
  const std::vector<std::vector<std::string>> pdf_lines = {
      {"First Document Alpha", "second line Beta", "Third Gamma", "Page Two Delta"},
      {"Invoice Number 1234", "Total Amount 56"},
      {"Minutes Of The Meeting", "Attendees Anna Bert", "Decisions none", "Next Meeting Monday", "Closing"}};
  for (size_t p = 0; p < pdf_lines.size(); ++p) {
    const std::string source = made + "/doc" + std::to_string(p) + ".pdf";
    ASSERT_EQ(harness::make_pdf(source, pdf_lines[p]), "");
    const std::string text = harness::pdf_record_text(source, 1000);
    ASSERT_FALSE(text.empty());
    for (int c = 0; c < 4; ++c) {
      Item item{corpus + "/Doc-" + std::to_string(p) + "-" + std::to_string(c) + ".PDF", text, {}, {}, "pdf"};
      copy_file(source, item.path);
      items.push_back(item);
    }
  }

  // MP3 and FLAC: one second of sound encoded once each, ten copies of each tagged differently.
  const std::string wav = made + "/tone.wav";
  ASSERT_EQ(dispatcher_fixtures::make_tone(wav, 44100, 2, 1, 440), "");
  const std::string mp3 = made + "/tone.mp3";
  const std::string flac = made + "/tone.flac";
  ASSERT_EQ(dispatcher_fixtures::make_mp3(wav, mp3, 128), "");
  ASSERT_EQ(dispatcher_fixtures::make_flac(wav, flac), "");
  for (int c = 0; c < 10; ++c) {
    const std::string n = std::to_string(c);
    Item song{corpus + "/Song " + n + ".mp3", "", {}, {}, "mp3"};
    copy_file(mp3, song.path);
    const harness::Mp3Tags tags{"Song N\xC2\xB0" + n, "Band " + n, "Album", "note " + n, "Rock", 2000u + c,
                                static_cast<unsigned>(c + 1)};
    ASSERT_TRUE(harness::tag_mp3(song.path, tags));
    song.content = harness::mp3_record_text(song.path, tags);
    items.push_back(song);

    Item take{corpus + "/Take " + n + ".flac", "", {}, {}, "flac"};
    copy_file(flac, take.path);
    const std::vector<std::string> flac_tags = {"TITLE=Take " + n, "ARTIST=Band " + n};
    ASSERT_EQ(harness::run_process({"metaflac", "--remove-all-tags", "--set-tag=" + flac_tags[0],
                                    "--set-tag=" + flac_tags[1], take.path})
                  .status,
              0);
    take.content = harness::flac_record_text(take.path, flac_tags);
    items.push_back(take);
  }

  // Office documents: the four made by the dispatcher fixtures (docx, doc, xlsx, xls).
  using dispatcher_fixtures::lines_text;
  const std::string word_text = harness::record_content("\xEF\xBB\xBF" + lines_text(dispatcher_fixtures::kWordLines, 6));
  const struct {
    const char* made;
    const char* name;
    std::string content;
  } office_files[] = {{"words.docx", "Letter.docx", word_text},
                      {"words.doc", "Memo.DOC", word_text},
                      {"rows.xlsx", "Budget.xlsx", harness::record_content(lines_text(dispatcher_fixtures::kSheetRows, 6))},
                      {"other.xls", "Towns.xls", harness::record_content(lines_text(dispatcher_fixtures::kOtherRows, 6))}};
  for (const auto& o : office_files) {
    Item item{corpus + "/" + o.name, o.content, {}, {}, "office"};
    copy_file(office + "/made/" + o.made, item.path);
    ASSERT_FALSE(harness::read_file(item.path).empty()) << o.made;
    items.push_back(item);
  }

  // Programs: four bare DOS programs and two copies of the Windows program itself.
  for (int c = 0; c < 6; ++c) {
    Item item{corpus + (c < 4 ? "/Dos" : "/Win") + std::to_string(c) + ".EXE", "", {}, {}, "exe"};
    copy_file(c < 4 ? wine->stub : wine->program, item.path);
    std::string out = "Windows Program SAYS Hello\r\nArg[1]=" + item.path + "\r\n";
    item.content = harness::record_content(out);
    items.push_back(item);
  }
  ASSERT_GE(items.size(), 300u);

  // Digests and sizes first (md5sum reads the files), then known times, different for every
  // file, with nanoseconds.
  std::vector<std::string> md5(items.size());
  std::vector<off_t> sizes(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    md5[i] = harness::md5_of(items[i].path);
    struct stat st {};
    ASSERT_EQ(stat(items[i].path.c_str(), &st), 0);
    sizes[i] = st.st_size;
    items[i].atime = {static_cast<time_t>(1600000000 + 7 * i), static_cast<long>((i * 7919) % 1000000000)};
    items[i].mtime = {static_cast<time_t>(1500000000 + 11 * i), static_cast<long>((i * 104729 + 3) % 1000000000)};
    const timespec times[2] = {items[i].atime, items[i].mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, items[i].path.c_str(), times, 0), 0);
  }

  const std::vector<std::string> tmp_before = harness::directory_entries("/tmp");
  const std::string pool = tessary::office_pool_directory();
  const std::vector<std::string> pool_before = harness::directory_entries(pool);
  const std::string mark = "TESSARY_PARALLEL_MARK=" + std::to_string(getpid());
  const std::map<std::string, std::string> env = {{"TZ", "UTC"},
                                                  {"WINEPREFIX", wine->prefix},
                                                  {"TMPDIR", tmpdir},
                                                  {mark.substr(0, mark.find('=')), mark.substr(mark.find('=') + 1)}};
  // wine keeps its server's socket in TMPDIR when one is set: the programs run with the
  // server that made the prefix instead of starting one of their own.
  std::map<std::string, std::string> wine_env = env;
  wine_env.erase("TMPDIR");
  auto run = [&](size_t i) { return box.run({items[i].path}, items[i].kind == "exe" ? wine_env : env, 120); };
  const double setup_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - setup_start).count();

  // Eight at a time, in an order that mixes the kinds. The office conversions cost seconds of
  // processor time each; one worker takes them one after another before joining the others,
  // so that one is always converting beside seven other runs, but they do not crowd each other
  // towards their time limit on a small machine.
  std::vector<size_t> order, office_items;
  for (size_t i = 0; i < items.size(); ++i) (items[i].kind == "office" ? office_items : order).push_back(i);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<harness::ProcessResult> results(items.size());
  std::atomic<size_t> next{0};
  const auto batch_start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < kRunsAtOnce; ++w)
    workers.emplace_back([&, w] {
      if (w == 0)
        for (size_t i : office_items) results[i] = run(i);
      for (size_t k; (k = next++) < order.size();) results[order[k]] = run(order[k]);
    });
  for (auto& t : workers) t.join();
  const double batch_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - batch_start).count();

  // No converter, reader tool or Windows program outlives the batch; wine's own server and its
  // services end by themselves within a few seconds.
  for (const auto& p : harness::processes_with_environment(mark))
    EXPECT_TRUE(kWineHousekeeping.count(p.name)) << "left running: " << p.pid << " " << p.name << " " << p.command_line;

  std::map<std::string, double> slowest;
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(results[i].status, 0) << items[i].path << "\n" << results[i].err;
    EXPECT_FALSE(results[i].timed_out) << items[i].path;
    EXPECT_EQ(results[i].out, "") << items[i].path;
    EXPECT_EQ(results[i].err.find("open failed"), std::string::npos) << items[i].path << results[i].err;
    slowest[items[i].kind] = std::max(slowest[items[i].kind], results[i].seconds);
    if (items[i].kind == "office" || items[i].kind == "exe")
      std::printf("[ parallel ] %s: %.2f s\n", items[i].path.substr(corpus.size() + 1).c_str(), results[i].seconds);
  }

  // Every record complete and byte-correct.
  const auto got = receiver.wait_connections(items.size(), 60000);
  EXPECT_EQ(got.size(), items.size());
  std::map<std::string, size_t> by_path;
  for (size_t i = 0; i < items.size(); ++i) by_path[harness::record_path(items[i].path)] = i;
  std::vector<int> seen(items.size(), 0);
  std::map<std::string, int> checked;
  std::vector<std::string> overloaded;
  for (const std::string& data : got) {
    std::string record, rest;
    ASSERT_TRUE(harness::split_delivery(data, &record, &rest)) << data.substr(0, 200);
    EXPECT_EQ(rest, "quit\r\n");
    auto f = harness::parse_record(record);
    ASSERT_FALSE(f.empty()) << record.substr(0, 300);
    auto it = by_path.find(f["#PFAD#"]);
    ASSERT_NE(it, by_path.end()) << f["#PFAD#"];
    const size_t i = it->second;
    const Item& item = items[i];
    ++seen[i];
    EXPECT_EQ(f["#DATEINAME#"], harness::record_file_name(item.path));
    EXPECT_EQ(f["#LETZ.ZUG#"], utc_text(item.atime.tv_sec)) << item.path;
    EXPECT_EQ(f["#LETZT.MOD#"], utc_text(item.mtime.tv_sec)) << item.path;
    EXPECT_EQ(f["#SIZE#"], std::to_string(sizes[i])) << item.path;
    EXPECT_EQ(f["#MD5#"], md5[i]) << item.path;
    // A conversion cut off by its time limit on a machine far too busy is noted, not failed.
    if (f["#INHALT#"] != item.content && item.kind == "office" && results[i].seconds >= 29) {
      overloaded.push_back(item.path);
    } else {
      EXPECT_EQ(f["#INHALT#"], item.content) << item.path;
    }
    ++checked[item.kind];
  }
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(seen[i], 1) << items[i].path;

  // Every file's times are what they were, to the nanosecond.
  for (const Item& item : items) {
    struct stat st {};
    ASSERT_EQ(stat(item.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, item.atime.tv_sec) << item.path;
    EXPECT_EQ(st.st_atim.tv_nsec, item.atime.tv_nsec) << item.path;
    EXPECT_EQ(st.st_mtim.tv_sec, item.mtime.tv_sec) << item.path;
    EXPECT_EQ(st.st_mtim.tv_nsec, item.mtime.tv_nsec) << item.path;
  }

  // Nothing temporary left: not in the work directory, not in the tools' TMPDIR, not in /tmp,
  // no temporary office profile beside the pooled ones.
  EXPECT_EQ(join(harness::directory_entries(work)), "");
  EXPECT_EQ(join(new_entries(tmpdir, {})), "");
  EXPECT_EQ(join(lasting_new_entries("/tmp", tmp_before)), "");
  for (const std::string& name : lasting_new_entries(pool, pool_before))
    EXPECT_EQ(name.rfind("profile-", 0), 0u) << "left in the profile pool: " << name;

  // wine's housekeeping ends by itself too.
  std::vector<harness::ProcessInfo> left;
  for (int i = 0; i < 150; ++i) {
    left = harness::processes_with_environment(mark);
    if (left.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto& p : left) ADD_FAILURE() << "still running 15 s later: " << p.pid << " " << p.name;

  std::printf("[ parallel ] %zu files, %d at a time: setup %.1f s, batch %.1f s\n", items.size(), kRunsAtOnce,
              setup_seconds, batch_seconds);
  for (const auto& kv : checked)
    std::printf("[ parallel ] %-7s %3d records checked, slowest run %.2f s\n", kv.first.c_str(), kv.second,
                slowest[kv.first]);
  if (!overloaded.empty())
    GTEST_SKIP() << "machine too busy: an office conversion used up its whole time limit: " << join(overloaded);
}
