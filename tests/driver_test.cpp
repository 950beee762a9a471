// Unit tests of the driver: configuration lines, path split, stamps, normalisation, the record,
// the digest and the libmagic facts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <magic.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "driver/config.h"
#include "driver/crash_log.h"
#include "driver/digest.h"
#include "driver/file_facts.h"
#include "driver/path_split.h"
#include "record/record.h"
#include "driver/delivery.h"
#include "tests/harness.h"

using namespace tessary;

TEST(Config, ValueIsTakenTwoCharactersAfterTheLastEquals) {
  EXPECT_EQ(config_value_of_line("host = 10.0.0.5"), "10.0.0.5");
  EXPECT_EQ(config_value_of_line("port=8080"), "080");
  EXPECT_EQ(config_value_of_line("x = a=bc"), "c");
  EXPECT_EQ(config_value_of_line("ost"), "st");
  EXPECT_EQ(config_value_of_line("# note"), " note");
  EXPECT_EQ(config_value_of_line("x"), "");
  EXPECT_EQ(config_value_of_line(" "), "");
  // Nothing after the "=", or only the dropped blank: an empty value, no error.
  EXPECT_EQ(config_value_of_line("key ="), "");
  EXPECT_EQ(config_value_of_line("key = "), "");
  EXPECT_EQ(config_value_of_line("="), "");
  EXPECT_EQ(config_value_of_line("a = true \r"), "true \r");
  EXPECT_EQ(config_value_of_line("a = " + std::string(1500, 'v')), std::string(999, 'v'));
}

TEST(Config, EmptyLinesShiftNothingAndTheLastLineNeedsNoLineFeed) {
  const auto values = parse_config_text("\n\na = 1\n\n\n \nb = 2\r\n\r\nc = 3");
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values[0], "1");
  EXPECT_EQ(values[1], "");
  EXPECT_EQ(values[2], "2\r");
  EXPECT_EQ(values[3], "");
  EXPECT_EQ(values[4], "3");
  EXPECT_TRUE(parse_config_text("").empty());
}

TEST(Config, SwitchIsOnOnlyForExactlyTrue) {
  EXPECT_TRUE(switch_on("true"));
  for (const char* off : {"True", "TRUE", "yes", "true ", " true", "true\r", "", "1"}) EXPECT_FALSE(switch_on(off)) << off;
}

TEST(PathSplit, NameAfterLastSeparatorExtensionAfterLastDot) {
  struct Case {
    const char *path, *name, *extension;
  } cases[] = {
      {"/srv/data/Report.PDF", "Report.PDF", "PDF"}, {"notes", "notes", "notes"},
      {"/srv/old.files/readme", "readme", "files/readme"}, {"C:\\docs\\a.txt", "a.txt", "txt"},
      {"/srv/dir/", "", "/srv/dir/"}, {"a/b.", "b.", ""}, {"x\\y/z.tar.gz", "z.tar.gz", "gz"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file_name_of(c.path), c.name) << c.path;
    EXPECT_EQ(extension_of(c.path), c.extension) << c.path;
  }
}

TEST(Stamp, FieldsArePaddedExceptYearAndMicroseconds) {
  struct tm t {};
  t.tm_mday = 1;
  t.tm_mon = 2;
  t.tm_year = 126;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  EXPECT_EQ(format_stamp(t, 42), "01.03.2026 09:05:07.42");
  EXPECT_EQ(format_stamp(t, 0), "01.03.2026 09:05:07.0");
  t.tm_mday = 31;
  t.tm_mon = 11;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(format_stamp(t, 999999), "31.12.2026 23:59:58.999999");
}

TEST(Stamp, CrashStampMatchesLocalTimeWithoutLocaltime) {
  // The crash handler converts times itself; it must agree with localtime for the zone in use.
  for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata"}) {
    setenv("TZ", zone, 1);
    tzset();
    crash_log_arm("", 0);
    const time_t now = time(nullptr);
    for (time_t t : {now, now + 3 * 86400 + 7, now + 6 * 86400 + 3599}) {
      struct tm broken {};
      localtime_r(&t, &broken);
      char out[64];
      const std::size_t n = crash_stamp(t, 5, out);
      EXPECT_EQ(std::string(out, n), format_stamp(broken, 5)) << zone << " " << t;
    }
  }
  // A run that crosses a daylight-saving change: Berlin moves from +1 to +2 on 2027-03-28 01:00 UTC.
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  crash_log_prepare_time(1806062400);  // 2027-03-26 12:00 UTC
  for (time_t t : {1806195599, 1806195600, 1806200000}) {
    struct tm broken {};
    localtime_r(&t, &broken);
    char out[64];
    EXPECT_EQ(std::string(out, crash_stamp(t, 7, out)), format_stamp(broken, 7)) << t;
  }
  // A fixed instant: 04:05:06 on 3 January 2027 in UTC.
  setenv("TZ", "UTC", 1);
  tzset();
  crash_log_arm("", 0);
  char out[64];
  EXPECT_EQ(std::string(out, crash_stamp(1798949106, 123456, out)), "03.01.2027 04:05:06.123456");
  unsetenv("TZ");
  tzset();
}

TEST(Record, NormalisationLowercasesAsciiOnlyAndCleansPathAndContent) {
  std::string path = "/srv/Data/O'Neil\"X.TXT";
  std::string name = "O'Neil.TXT";
  std::string content = "L\xC3\x84NGE\r\nZeile\n\nEnde\0Rest";
  content.append(std::string("\0X", 2));
  normalise_texts(path, name, content);
  EXPECT_EQ(path, "/srv/data/o neil x.txt");
  EXPECT_EQ(name, "o'neil.txt");
  EXPECT_EQ(content, "l\xC3\x84nge\rzeileende" + std::string("x"));
  std::string only_feeds = "\n\n\n";
  normalise_texts(path, name, only_feeds);
  EXPECT_EQ(only_feeds, "");
}

TEST(Record, LineHasTheFixedFrame) {
  FileFacts facts;
  facts.access_time = "2026-03-01 09:05:07";
  facts.modification_time = "2026-02-28 17:00:00";
  facts.change_time = "Sat Feb 28 17:00:00 2026";
  facts.size = "1234";
  EXPECT_EQ(build_index_record("/srv/data/report.txt", "report.txt", facts, kNoDigest, "hello world",
                               "01.03.2026 09:05:08.42"),
            "set '#PFAD#/srv/data/report.txt#DATEINAME#report.txt#LETZ.ZUG#2026-03-01 09:05:07#LETZT.MOD#"
            "2026-02-28 17:00:00#CREATE.DATAE#Sat Feb 28 17:00:00 2026#SIZE#1234#MD5#nicht berechnet#INHALT#"
            "hello world@@ENDE@@' '01.03.2026 09:05:08.42'\r\n");
  EXPECT_NE(build_index_record("p", "n", facts, "d", "", "s").find("#INHALT#@@ENDE@@' 's'\r\n"), std::string::npos);
}

TEST(Delivery, PortTakesLeadingDigitsAndLow16Bits) {
  EXPECT_EQ(port_of("8080"), 8080);
  EXPECT_EQ(port_of("8080 "), 8080);
  EXPECT_EQ(port_of("8080\r"), 8080);
  EXPECT_EQ(port_of(" 8080x"), 8080);
  EXPECT_EQ(port_of("70000"), 4464);
  EXPECT_EQ(port_of("abc"), 0);
}

TEST(Digest, MatchesTheRfc1321Vectors) {
  harness::TempDir dir;
  struct Vector {
    std::string input, md5;
  } vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) {
    std::string path = dir.file("v");
    harness::write_file(path, v.input);
    std::string digest = "old";
    EXPECT_EQ(hash_wert(path, digest), v.md5);
    EXPECT_EQ(digest, v.md5);
  }
}

TEST(Digest, LargeAndBlockMultipleFilesMatchMd5sum) {
  harness::TempDir dir;
  for (std::size_t size : {1024u * 64, 1024u * 64 * 3 + 1, 1024u * 1024 * 5}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 7));
    std::string path = dir.file("big");
    harness::write_file(path, data);
    const auto md5sum = harness::run_process({"md5sum", path});
    ASSERT_EQ(md5sum.status, 0);
    std::string digest;
    hash_wert(path, digest);
    EXPECT_EQ(digest, md5sum.out.substr(0, 32)) << size;
  }
  EXPECT_EQ(hex_text(reinterpret_cast<const unsigned char*>("\x0a\xff\x00"), 3), "0aff00");
}

TEST(FileFacts, OneCookieGivesWhatTwoFreshCookiesGive) {
  harness::TempDir dir;
  harness::write_file(dir.file("t.txt"), "hello\nworld\n");
  harness::write_file(dir.file("e"), "");
  harness::write_file(dir.file("p.pdf"), "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n");
  harness::write_file(dir.file("z"), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
  harness::write_file(dir.file("l.txt"), std::string(5000, 'x') + "\r\nabc\ndef\r" + std::string(3000, 'y'));
  symlink("t.txt", dir.file("link").c_str());
  for (const char* name : {"t.txt", "e", "p.pdf", "z", "l.txt", "link"}) {
    const std::string path = dir.file(name);
    FileFacts facts;
    ASSERT_TRUE(collect_file_facts(path, &facts));
    magic_t mime = magic_open(MAGIC_MIME_TYPE);
    magic_load(mime, nullptr);
    EXPECT_EQ(facts.mime_type, magic_file(mime, path.c_str())) << name;
    magic_close(mime);
    magic_t desc = magic_open(MAGIC_CONTINUE);
    magic_load(desc, nullptr);
    EXPECT_EQ(facts.description, magic_file(desc, path.c_str())) << name;
    magic_close(desc);
  }
  FileFacts link_facts;
  ASSERT_TRUE(collect_file_facts(dir.file("link"), &link_facts));
  EXPECT_EQ(link_facts.mime_type, "inode/symlink");  // the link itself is described
  EXPECT_EQ(link_facts.size, "12");                  // the target's size
}

TEST(FileFacts, TimeTextsFollowTheLocalZone) {
  harness::TempDir dir;
  const std::string path = dir.file("f");
  harness::write_file(path, "");
  const timespec times[2] = {{1700000000, 5}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  setenv("TZ", "UTC", 1);
  tzset();
  FileFacts facts;
  ASSERT_TRUE(collect_file_facts(path, &facts));
  EXPECT_EQ(facts.modification_time, "2023-11-14 22:13:20");
  EXPECT_EQ(facts.access_time, "2023-11-14 22:13:20");
  EXPECT_EQ(facts.size, "0");
  EXPECT_EQ(facts.saved_modification.tv_nsec, 123456789);
  EXPECT_EQ(change_time_text(1700000000), "Tue Nov 14 22:13:20 2023");
  EXPECT_EQ(change_time_text(1699000000), "Fri Nov  3 08:26:40 2023");
  unsetenv("TZ");
  tzset();
  errno = 0;
  EXPECT_FALSE(collect_file_facts(dir.file("missing"), &facts));
  EXPECT_EQ(errno, ENOENT);
}
