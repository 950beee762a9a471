// Fuzzes the MP3 tag text builder with tag strings and numbers taken from the input, as TagLib
// may hand them over from a hostile file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "readers/tunegrab.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  tessary::TagValues v;
  v.year = input.ConsumeIntegral<unsigned int>();
  v.track = input.ConsumeIntegral<unsigned int>();
  v.length_seconds = input.ConsumeIntegral<int>();
  v.bitrate = input.ConsumeIntegral<int>();
  v.sample_rate = input.ConsumeIntegral<int>();
  v.channels = input.ConsumeIntegral<int>();
  v.title = input.ConsumeRandomLengthString(256);
  v.artist = input.ConsumeRandomLengthString(256);
  v.album = input.ConsumeRandomLengthString(256);
  v.comment = input.ConsumeRandomLengthString(256);
  v.genre = input.ConsumeRemainingBytesAsString();

  // The length: minutes, ":" and the seconds in two digits; minutes never become hours.
  const std::string length = tessary::format_mp3_length(v.length_seconds);
  const std::size_t colon = length.find(':');
  FUZZ_CHECK(colon != std::string::npos && colon > 0);
  const int minutes = v.length_seconds / 60;
  const int seconds = v.length_seconds % 60;
  FUZZ_CHECK(length.substr(0, colon) == std::to_string(minutes));
  const std::string second_text = length.substr(colon + 1);
  FUZZ_CHECK(std::atoi(second_text.c_str()) == seconds);
  if (v.length_seconds >= 0) FUZZ_CHECK(second_text.size() == 2);

  // The whole line: labels and values with nothing between them, numbers in plain decimal,
  // the artist twice, one line feed at the end.
  const std::string expected = "Titel:" + v.title + "# Artist:" + v.artist + "# Album:" + v.album +
                               "# Jahr:" + std::to_string(v.year) + "# Kommentar:" + v.comment +
                               "# Track Nr. :" + std::to_string(v.track) + "# Artist:" + v.artist +
                               "# Genre:" + v.genre + "# L\xC3\xA4nge:" + length +
                               "# Bitrate:" + std::to_string(v.bitrate) + "# sampleRate:" +
                               std::to_string(v.sample_rate) + "# Channels:" + std::to_string(v.channels) + "\n";
  FUZZ_CHECK(tessary::build_tag_text(v) == expected);
  return 0;
}
