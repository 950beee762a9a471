// Fuzzes the normalisation of the record's texts and the building of the index record, with a
// path, content and file times taken from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "driver/file_facts.h"
#include "driver/path_split.h"
#include "record/record.h"
#include "fuzz/fuzz_check.h"

namespace {

std::size_t count_of(const std::string& text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

/// The 32 hex digits of a digest, as the digest step writes them.
std::string hex_digest(FuzzedDataProvider& input) {
  static const char kHex[] = "0123456789abcdef";
  std::string digest;
  for (int i = 0; i < 16; ++i) {
    const std::uint8_t byte = input.ConsumeIntegral<std::uint8_t>();
    digest.push_back(kHex[byte >> 4]);
    digest.push_back(kHex[byte & 15]);
  }
  return digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);

  // A path comes from the command line, so it holds no zero byte; anything else may be in it.
  std::string path = input.ConsumeRandomLengthString(512);
  path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());

  // File times come from stat: any 64-bit second count a file system may hold.
  tessary::FileFacts facts;
  facts.access_time = tessary::local_time_text(input.ConsumeIntegral<std::int64_t>());
  facts.modification_time = tessary::local_time_text(input.ConsumeIntegral<std::int64_t>());
  facts.change_time = tessary::change_time_text(input.ConsumeIntegral<std::int64_t>());
  facts.size = std::to_string(input.ConsumeIntegral<long long>());
  for (const std::string* text : {&facts.access_time, &facts.modification_time, &facts.change_time}) {
    FUZZ_CHECK(text->find_first_of(std::string("\n\r\0", 3)) == std::string::npos);
    FUZZ_CHECK(text->size() < 100);
  }
  FUZZ_CHECK(facts.change_time.size() <= 26);

  const std::string digest = input.ConsumeBool() ? "nicht berechnet" : hex_digest(input);

  // The stamp is taken from the clock, years 1970 to 9999 are what a run can meet.
  const time_t stamp_seconds = input.ConsumeIntegralInRange<std::int64_t>(0, 253402300799);
  struct tm broken {};
  FUZZ_CHECK(gmtime_r(&stamp_seconds, &broken) != nullptr);
  const std::string stamp = tessary::format_stamp(broken, input.ConsumeIntegralInRange<long>(0, 999999));
  FUZZ_CHECK(stamp.size() >= 21 && stamp.size() <= 26);
  FUZZ_CHECK(stamp[2] == '.' && stamp[5] == '.' && stamp[10] == ' ' && stamp[13] == ':' && stamp[16] == ':' &&
             stamp[19] == '.');

  std::string content = input.ConsumeRemainingBytesAsString();
  std::string name = tessary::file_name_of(path);
  const std::string raw_path = path;
  const std::string raw_name = name;
  const std::string raw_content = content;

  tessary::normalise_texts(path, name, content);

  // Lowercasing changes A to Z only and keeps every length; the path loses its quotes, the
  // content its line feeds and zero bytes, and nothing else.
  FUZZ_CHECK(path.size() == raw_path.size() && name.size() == raw_name.size());
  FUZZ_CHECK(!fuzz::has_upper(path) && !fuzz::has_upper(name) && !fuzz::has_upper(content));
  FUZZ_CHECK(path.find_first_of("'\"") == std::string::npos);
  FUZZ_CHECK(count_of(name, '\'') == count_of(raw_name, '\'') && count_of(name, '"') == count_of(raw_name, '"'));
  FUZZ_CHECK(content.size() == raw_content.size() - count_of(raw_content, '\n') - count_of(raw_content, '\0'));
  FUZZ_CHECK(content.find_first_of(std::string("\n\0", 2)) == std::string::npos);
  FUZZ_CHECK(count_of(content, '\r') == count_of(raw_content, '\r'));

  const std::string record = tessary::build_index_record(path, name, facts, digest, content, stamp);

  const std::string head = "set '#PFAD#" + path + "#DATEINAME#" + name + "#LETZ.ZUG#";
  const std::string tail = "#INHALT#" + content + "@@ENDE@@' '" + stamp + "'\r\n";
  FUZZ_CHECK(fuzz::starts_with(record, head));
  FUZZ_CHECK(fuzz::ends_with(record, tail));

  // Only a line feed in the path (and so in the file name) can stand before the record's end.
  const std::size_t path_feeds = count_of(path, '\n') + count_of(name, '\n');
  FUZZ_CHECK(count_of(record, '\n') == path_feeds + 1);
  FUZZ_CHECK(record.find('\0') == std::string::npos);
  if (path_feeds == 0) {
    FUZZ_CHECK(record.find('\n') == record.size() - 1);
    FUZZ_CHECK(record.find("\r\n") == record.size() - 2);
  }
  return 0;
}
