// Fuzzes the plain-text reader's line handling: rendering one line (ICU's charset detection and
// the conversion to UTF-8 through a small buffer), the conversion itself, the UTF-8 check, the
// problem markers, and whole files read through read_plain_text with a small line limit.
//
// ICU costs a detector and a cache release per line, so inputs are kept small (-max_len).
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "extract/plain_text.h"
#include "fuzz/fuzz_check.h"

namespace {

// Names ICU's detector gives, and a few it never gives.
const char* const kCharsets[] = {
    "UTF-8",       "UTF-16BE",   "UTF-16LE",     "UTF-32BE",     "UTF-32LE",   "ISO-8859-1", "ISO-8859-2",
    "ISO-8859-5",  "ISO-8859-6", "ISO-8859-7",   "ISO-8859-8",   "ISO-8859-9", "windows-1250",
    "windows-1251", "windows-1252", "windows-1253", "windows-1254", "windows-1255", "windows-1256",
    "KOI8-R",      "Shift_JIS",  "EUC-JP",       "EUC-KR",       "GB18030",    "Big5",       "ISO-2022-JP",
    "ISO-2022-KR", "ISO-2022-CN", "IBM420_rtl",  "IBM420_ltr",   "IBM424_rtl", "IBM424_ltr", "",
    "no-such-charset"};

// Descriptions that give a marker, one close miss, and the fallback text.
const char* const kDescriptions[] = {
    "ISO-8859 text, with very long lines\\012- data",
    "ASCII text, with very long lines, with no line terminators\\012- data",
    "Unicode text, UTF-8 text, with very long lines",
    "with very long lines",
    "PPD file, version \"4.3\"\\012- , ASCII text, with CR line terminators\\012- data",
    "File Endcoding Detection Problem",
    "ASCII text",
};

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

/// Well-formed UTF-8 by a plain decoder: shortest form, no surrogates, nothing above U+10FFFF.
bool reference_utf8(const std::string& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length;
    std::uint32_t point;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char trail = static_cast<unsigned char>(bytes[i + k]);
      if ((trail & 0xC0) != 0x80) return false;
      point = (point << 6) | (trail & 0x3F);
    }
    const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

/// The rendered text of one line is either the (lowercased) line itself or what a conversion
/// left in the buffer: no more than its size, without zero bytes or capitals.
void check_rendered(const std::string& line, std::int32_t buffer_size, const std::string& out) {
  const std::string lower = lowered(line);
  if (reference_utf8(line) && line.find('\0') == std::string::npos) FUZZ_CHECK(out == lower);
  if (out == lower) return;
  // A buffer of 0 or fewer bytes converts nothing.
  FUZZ_CHECK(out.size() <= static_cast<std::size_t>(buffer_size > 0 ? buffer_size : 0));
  FUZZ_CHECK(out.find('\0') == std::string::npos);
  FUZZ_CHECK(!fuzz::has_upper(out));
}

/// A file that the reader opens by name, rewritten for every input. Its name is removed at
/// once and the reader reaches it through /proc/self/fd, so a crash leaves no file behind.
class TempFile {
 public:
  TempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tessary_plain_fuzz_XXXXXX";
    fd_ = mkstemp(&name[0]);
    FUZZ_CHECK(fd_ >= 0);
    unlink(name.c_str());
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~TempFile() { close(fd_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void write_all(const std::string& bytes) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

/// Reads the input as a file with a small line limit: the result must be exactly the lines'
/// rendered texts (or the marker once per line), joined without anything between them.
void check_file(FuzzedDataProvider& input) {
  static TempFile file;
  const int limit = input.ConsumeIntegralInRange<int>(-1, 4);
  const std::int32_t buffer_size = input.ConsumeIntegralInRange<std::int32_t>(-1, 48);
  std::string description;
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: break;
    case 1: description = input.PickValueInArray(kDescriptions); break;
    default: description = input.ConsumeRandomLengthString(96); break;
  }
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  file.write_all(bytes);

  std::string content = "kept:";
  tessary::read_plain_text(file.path(), content, description, std::to_string(limit), std::to_string(buffer_size));
  FUZZ_CHECK(fuzz::starts_with(content, "kept:"));
  content.erase(0, 5);

  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < bytes.size() && (limit < 0 || lines.size() < static_cast<std::size_t>(limit))) {
    std::size_t end = bytes.find('\n', begin);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(begin, end - begin));
    begin = end + 1;
  }

  const std::string marker = lowered(tessary::problem_marker(description));
  std::string expected;
  for (const std::string& line : lines) {
    expected += marker.empty() ? tessary::render_text_line(line, buffer_size) : marker;
  }
  FUZZ_CHECK(content == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {  // one line through detection and conversion
      const std::int32_t buffer_size = input.ConsumeIntegralInRange<std::int32_t>(-2, 64);
      const std::string line = input.ConsumeRemainingBytesAsString();
      check_rendered(line, buffer_size, tessary::render_text_line(line, buffer_size));
      break;
    }
    case 1: {  // the conversion on its own, with any charset name
      const std::int32_t buffer_size = input.ConsumeIntegralInRange<std::int32_t>(-2, 64);
      const std::string charset = input.ConsumeBool() ? std::string(input.PickValueInArray(kCharsets))
                                                      : input.ConsumeRandomLengthString(24);
      const std::string bytes = input.ConsumeRemainingBytesAsString();
      const std::string out = tessary::convert_to_utf8(charset, bytes, buffer_size);
      FUZZ_CHECK(out.size() <= static_cast<std::size_t>(buffer_size > 0 ? buffer_size : 0));
      FUZZ_CHECK(out.find('\0') == std::string::npos);
      FUZZ_CHECK(!fuzz::has_upper(out));
      if (charset == "ISO-8859-1") {
        // Every byte is a character there, so the result is known: the UTF-8 form, cut at the
        // buffer's size and then at its first zero byte, lowercased.
        std::string utf8;
        for (const char c : bytes) {
          const unsigned char u = static_cast<unsigned char>(c);
          if (u < 0x80) {
            utf8.push_back(c);
          } else {
            utf8.push_back(static_cast<char>(0xC0 | (u >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (u & 0x3F)));
          }
        }
        if (buffer_size > 0) {
          utf8.resize(std::min(utf8.size(), static_cast<std::size_t>(buffer_size)));
          utf8.resize(std::min(utf8.size(), utf8.find('\0')));
          FUZZ_CHECK(out == lowered(utf8));
        }
      }
      break;
    }
    case 2: {  // the UTF-8 check against a plain decoder, and the markers
      const std::string bytes = input.ConsumeRemainingBytesAsString();
      FUZZ_CHECK(tessary::is_valid_utf8(bytes.data(), bytes.size()) == reference_utf8(bytes));
      const std::string marker = tessary::problem_marker(bytes);
      // The entry looks at the first occurrence: one at the very start does not count, even when
      // the text occurs again further on.
      const std::size_t long_at = bytes.find("with very long lines");
      if (long_at != std::string::npos && long_at > 0) FUZZ_CHECK(!marker.empty());
      if (!marker.empty()) {
        FUZZ_CHECK(fuzz::starts_with(marker, " ####"));
        FUZZ_CHECK(fuzz::ends_with(marker, " Zeichenketten Problem### "));
      }
      break;
    }
    default:
      check_file(input);
      break;
  }
  return 0;
}
