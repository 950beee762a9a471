#include "extract/plain_text.h"

#include <fcntl.h>
#include <unistd.h>
#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>
#include <unicode/utypes.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "process/text.h"
#include "process/unique_fd.h"

namespace tessary {
namespace {

// libmagic joins successive matches of one file with the printable form of a line feed, the
// four characters backslash, 0, 1, 2, followed by "- ". Every "\\012" below is that text, never
// a line feed.
struct ProblemRow {
  const char* description;  // compared with the whole description
  const char* marker;       // appended instead of every line
};

// Descriptions of files whose text is known to come out unusable, with the marker that stands
// for each of their lines. The marker texts are part of the index format and differ in small ways
// from row to row (" - data", "- data", "012- data"); they are kept exactly as they are.
constexpr ProblemRow kProblemRows[] = {
    {"ISO-8859 text, with very long lines, with no line terminators\\012- data",
     " ####ISO-8859 text, with very long lines, with no line terminators - data Zeichenketten Problem### "},
    {"ASCII text, with very long lines, with no line terminators\\012- data",
     " ####ASCII text, with very long lines, with no line terminators- data Zeichenketten Problem### "},
    {"ISO-8859 text, with very long lines, with no line terminators, with escape sequences\\012- data",
     " ####ISO-8859 text, with very long lines, with no line terminators, with escape sequences- data "
     "Zeichenketten Problem### "},
    {"ASCII text, with very long lines, with CR line terminators\\012- data",
     " ####ASCII text, with very long lines, with CR line terminators- data Zeichenketten Problem### "},
    {"Non-ISO extended-ASCII text, with very long lines, with CR, NEL line terminators\\012- data",
     " ####Non-ISO extended-ASCII text, with very long lines, with CR, NEL line terminators- data "
     "Zeichenketten Problem### "},
    {"Non-ISO extended-ASCII text, with very long lines, with CR, LF line terminators\\012- data",
     " ####Non-ISO extended-ASCII text, with very long lines, with CR, LF line terminators012- data "
     "Zeichenketten Problem### "},
    {"ISO-8859 text, with very long lines\\012- data",
     " ####ISO-8859 text, with very long lines012- data Zeichenketten Problem### "},
    {"Non-ISO extended-ASCII text, with very long lines\\012- data",
     " ####Non-ISO extended-ASCII text, with very long lines012- data Zeichenketten Problem### "},
    {"ISO-8859 text, with very long lines, with CRLF, LF line terminators\\012- data",
     " ####ISO-8859 text, with very long lines, with CRLF, LF line terminators012- data Zeichenketten "
     "Problem### "},
    {"ISO-8859 text, with very long lines, with CR, LF line terminators\\012- data",
     " ####ISO-8859 text, with very long lines, with CR, LF line terminators- data Zeichenketten Problem### "},
    {"ISO-8859 text, with very long lines, with CRLF, CR, LF line terminators\\012- data",
     " ####ISO-8859 text, with very long lines, with CRLF, CR, LF line terminators012- data Zeichenketten "
     "Problem### "},
};

// Any other description that mentions very long lines after its start gets a marker built from
// the description itself, and so does this one printer-description text.
constexpr char kLongLines[] = "with very long lines";
constexpr char kPrinterDescription[] =
    "PPD file, version \"4.3\"\\012- , ASCII text, with CR line terminators\\012- data";
constexpr char kBuiltMarkerStart[] = " ####";
constexpr char kBuiltMarkerEnd[] = " Zeichenketten Problem### ";

// Size of one read(2) from the text file.
constexpr std::size_t kReadChunk = 64 * 1024;
// A line longer than this is likely to reach kMaxTextLine; its buffer then takes the whole cap.
constexpr std::size_t kLongLine = 1u << 20;
// Pivot buffer (UTF-16 units) of a conversion; the size ucnv_convert itself pivots through.
constexpr std::size_t kPivotUnits = 1024;

/// strtol base 10 of `text`, kept as a 32-bit signed value the way the configuration holds it:
/// no digits give 0, a value outside the 32-bit range keeps its low 32 bits.
std::int32_t parse_int32(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

void lowercase(char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) bytes[i] = lower_ascii(bytes[i]);
}

void lowercase(std::string& text) { lowercase_ascii(&text); }

/// Reads a file line by line with read(2), keeping at most kMaxTextLine bytes of each line.
/// A file that cannot be opened, or whose reading fails, simply has no (further) lines.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  /// Fills `line` with the next line without its line feed; false when no line is left.
  bool next(std::string& line) {
    line.clear();
    bool have_line = false;
    for (;;) {
      if (begin_ == end_ && !refill()) return have_line;
      have_line = true;
      const char* start = chunk_.get() + begin_;
      const std::size_t available = end_ - begin_;
      const char* feed = static_cast<const char*>(std::memchr(start, '\n', available));
      const std::size_t length = feed != nullptr ? static_cast<std::size_t>(feed - start) : available;
      keep(line, start, length);
      begin_ += length;
      if (feed != nullptr) {
        ++begin_;
        return true;
      }
    }
  }

 private:
  bool refill() {
    if (!fd_.valid() || at_end_) return false;
    if (!chunk_) chunk_.reset(new char[kReadChunk]);
    for (;;) {
      const ssize_t n = ::read(fd_.get(), chunk_.get(), kReadChunk);
      if (n > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      // End of file, or a read that fails (a directory, an I/O error): no more text.
      at_end_ = true;
      return false;
    }
  }

  // Appends what still fits under kMaxTextLine; the rest of the line is dropped. Past 1 MiB the
  // string reserves the whole cap at once: untouched pages cost nothing, and no further copy of
  // a long line (with its old and new buffer resident together) is made on the way to the cap.
  static void keep(std::string& line, const char* bytes, std::size_t length) {
    const std::size_t room = kMaxTextLine - line.size();
    if (length > room) length = room;
    if (length == 0) return;
    const std::size_t needed = line.size() + length;
    if (needed > line.capacity()) {
      std::size_t grown = line.capacity() * 2;
      if (grown < needed) grown = needed;
      if (grown > kLongLine) grown = kMaxTextLine;
      line.reserve(grown);
    }
    line.append(bytes, length);
  }

  UniqueFd fd_;
  std::unique_ptr<char[]> chunk_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
};

/// The conversion buffer of one run: allocated on first use with the configured size and
/// reused for every line. It is never cleared: only the bytes ICU reports as written are read.
/// The size is an int32, parsed like the line limit and matching ICU's capacity type.
class ConversionBuffer {
 public:
  explicit ConversionBuffer(std::int32_t size) : size_(size) {}
  std::int32_t size() const { return size_; }
  /// The buffer, or nullptr when the size is 0 or less or the memory cannot be had.
  char* get() {
    if (!data_ && size_ > 0) data_.reset(static_cast<char*>(std::malloc(static_cast<std::size_t>(size_))));
    return data_.get();
  }

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::int32_t size_;
  std::unique_ptr<char, Free> data_;
};

struct ConverterClose {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

/// ICU's charset detector, opened on first use and kept for the rest of the file. The name it
/// gives a line depends only on that line's bytes, so one detector serves every line, and ICU's
/// cached data is kept between lines instead of being released and loaded again for each.
class CharsetDetector {
 public:
  CharsetDetector() = default;
  ~CharsetDetector() {
    if (detector_ != nullptr) ucsdet_close(detector_);
  }
  CharsetDetector(const CharsetDetector&) = delete;
  CharsetDetector& operator=(const CharsetDetector&) = delete;

  /// The name ICU gives `line`; empty when it finds no match.
  void detect(const std::string& line, std::string& charset) {
    UErrorCode status = U_ZERO_ERROR;
    if (detector_ == nullptr) detector_ = ucsdet_open(&status);
    const char* name = nullptr;
    if (detector_ != nullptr && U_SUCCESS(status)) {
      ucsdet_setText(detector_, line.data(), static_cast<std::int32_t>(line.size()), &status);
      const UCharsetMatch* match = ucsdet_detect(detector_, &status);
      if (match != nullptr) name = ucsdet_getName(match, &status);
    }
    charset.assign(name != nullptr ? name : "");
  }

 private:
  UCharsetDetector* detector_ = nullptr;
};

/// Converts `length` bytes from `charset` to UTF-8 through `buffer` and appends the result, up to
/// its first NUL and lowercased, to `out`. The result is exactly what ucnv_convert leaves in a
/// buffer of that size (a UTF-8 form that does not fit is cut at the buffer's end), but only the
/// bytes ICU wrote are looked at, and the conversion stops at the buffer's end instead of
/// measuring the rest of the line. An empty or unknown name or a conversion error adds nothing.
void append_converted(const char* charset, const char* bytes, std::size_t length, ConversionBuffer& buffer,
                      std::string& out) {
  if (buffer.size() <= 0 || charset[0] == '\0' || length == 0) return;
  char* const target = buffer.get();
  if (target == nullptr) return;

  UErrorCode status = U_ZERO_ERROR;
  const Converter from(ucnv_open(charset, &status));
  const Converter to(ucnv_open("UTF-8", &status));
  if (U_FAILURE(status)) return;

  UChar pivot[kPivotUnits];
  UChar* pivot_source = pivot;
  UChar* pivot_target = pivot;
  char* written_end = target;
  const char* source = bytes;
  ucnv_convertEx(to.get(), from.get(), &written_end, target + buffer.size(), &source, bytes + length, pivot,
                 &pivot_source, &pivot_target, pivot + kPivotUnits, /*reset=*/false, /*flush=*/true, &status);
  if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) return;

  const std::size_t written = static_cast<std::size_t>(written_end - target);
  const void* nul = std::memchr(target, 0, written);
  const std::size_t kept = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - target) : written;
  const std::size_t at = out.size();
  out.append(target, kept);
  lowercase(&out[at], kept);
}

/// Appends one lowercased line, detected as `charset`, in its UTF-8 form.
void append_rendered(const std::string& line, CharsetDetector& detector, ConversionBuffer& buffer,
                     std::string& out) {
  const bool has_zero = std::memchr(line.data(), 0, line.size()) != nullptr;
  const bool valid_utf8 = is_valid_utf8(line.data(), line.size());
  // ICU names about one in eighty short UTF-8 lines with umlauts ISO-8859-1 or windows-1252;
  // converting them would double every non-ASCII character. Well-formed UTF-8 stays as it is,
  // whatever ICU would call it, so ICU is not asked at all (it costs 25 us a line).
  if (valid_utf8 && !has_zero) {
    out += line;
    return;
  }
  std::string charset;
  detector.detect(line, charset);
  // Real UTF-16BE text has zero bytes (the high byte of every Latin character); ICU also gives
  // this name to short ISO-8859-1 lines, which have none.
  if (charset == "UTF-16BE") {
    append_converted(has_zero ? "UTF-16BE" : "ISO-8859-1", line.data(), line.size(), buffer, out);
    return;
  }
  if (valid_utf8 || charset == "UTF-8") {
    out += line;
    return;
  }
  append_converted(charset.c_str(), line.data(), line.size(), buffer, out);
}

}  // namespace

bool is_valid_utf8(const char* bytes, std::size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const end = p + length;
  while (p < end) {
    // Plain ASCII, eight bytes at a time.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t trail;
    unsigned char low = 0x80;  // allowed range of the first continuation byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= trail) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i <= trail; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += trail + 1;
  }
  return true;
}

std::string problem_marker(const std::string& description) {
  // Row 1 also counts when it follows another match; a find at the very start does not count.
  const ProblemRow& first = kProblemRows[0];
  const std::size_t first_at = description.find(first.description);
  if (description == first.description || (first_at != std::string::npos && first_at > 0)) return first.marker;
  for (const ProblemRow& row : kProblemRows) {
    if (description == row.description) return row.marker;
  }
  const std::size_t long_at = description.find(kLongLines);
  if ((long_at != std::string::npos && long_at > 0) || description == kPrinterDescription) {
    return kBuiltMarkerStart + description + kBuiltMarkerEnd;
  }
  return std::string();
}

std::string convert_to_utf8(const std::string& charset, const std::string& bytes, std::int32_t buffer_size) {
  ConversionBuffer buffer(buffer_size);
  std::string out;
  append_converted(charset.c_str(), bytes.data(), bytes.size(), buffer, out);
  return out;
}

std::string render_text_line(const std::string& line, std::int32_t buffer_size) {
  std::string lowered = line;
  lowercase(lowered);
  CharsetDetector detector;
  ConversionBuffer buffer(buffer_size);
  std::string out;
  append_rendered(lowered, detector, buffer, out);
  return out;
}

void read_plain_text(const std::string& path, std::string& content, const std::string& description,
                     const std::string& line_limit, const std::string& buffer_size) {
  // The limit and the buffer size do not change while the file is read, so one parse serves
  // every line.
  const std::int32_t limit = parse_int32(line_limit);
  ConversionBuffer buffer(parse_int32(buffer_size));
  // The description is the same for every line: either every line becomes the marker or none.
  std::string marker = problem_marker(description);
  lowercase(marker);

  LineReader reader(path);
  std::string line;
  CharsetDetector detector;
  // The counter is compared as 32 bits and wraps instead of overflowing; a negative limit is
  // reached only after more than 2^31 lines, so in practice it reads the whole file.
  std::uint32_t counter = 0;
  // The rendered text is bounded too: once it holds kMaxTextContent bytes the rest of the
  // file is neither read nor detected, so a huge file with a negative limit costs bounded
  // memory and time.
  const std::size_t stop_at = content.size() + kMaxTextContent;
  while (counter != static_cast<std::uint32_t>(limit) && content.size() < stop_at && reader.next(line)) {
    lowercase(line);
    // A marker replaces every line whatever its charset, so ICU is only asked for other lines.
    if (!marker.empty()) {
      content += marker;
    } else {
      append_rendered(line, detector, buffer, content);
    }
    if (content.size() > stop_at) content.resize(stop_at);
    ++counter;
  }
}

}  // namespace tessary
