#include "readers/tunegrab.h"

#include <iomanip>
#include <sstream>
#include <utility>

#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <taglib/tstring.h>

#include "readers/slots.h"

namespace tessary {
namespace {

// TagLib's own stream insertion writes a String as ISO-8859-1 and keeps only the low byte of
// every character above U+00FF, so Japanese titles or a euro sign arrived as garbage and umlauts
// in another encoding than the rest of the record. The text is UTF-8 throughout, so the tag
// strings are too. to8Bit keeps a zero character, which toCString would cut the text at.
std::string utf8(const TagLib::String& s) { return s.to8Bit(/*unicode=*/true); }

// Takes the stream's text and empties the stream for the next value, keeping its flags and fill.
std::string take(std::stringstream& stream) {
  std::string text = stream.str();
  stream.str("");
  return text;
}

}  // namespace

std::string format_mp3_length(int seconds) {
  const int secs = seconds % 60;
  const int minutes = (seconds - secs) / 60;
  std::stringstream stream;
  stream << minutes << ':' << std::setfill('0') << std::setw(2) << secs;
  return stream.str();
}

std::string build_tag_text(const TagValues& v) {
  // One stream formats every number with its default settings: decimal, no grouping, no sign.
  std::stringstream stream;
  stream << v.year;
  const std::string year = take(stream);
  stream << v.track;
  const std::string track = take(stream);
  stream << v.bitrate;
  const std::string bitrate = take(stream);
  stream << v.sample_rate;
  const std::string sample_rate = take(stream);
  stream << v.channels;
  const std::string channels = take(stream);

  std::string text;
  text.reserve(160 + v.title.size() + 2 * v.artist.size() + v.album.size() + v.comment.size() +
               v.genre.size());
  text += "Titel:";
  text += v.title;
  text += "# Artist:";
  text += v.artist;
  text += "# Album:";
  text += v.album;
  text += "# Jahr:";
  text += year;
  text += "# Kommentar:";
  text += v.comment;
  text += "# Track Nr. :";
  text += track;
  text += "# Artist:";
  text += v.artist;
  text += "# Genre:";
  text += v.genre;
  text += "# L\xC3\xA4nge:";
  text += format_mp3_length(v.length_seconds);
  text += "# Bitrate:";
  text += bitrate;
  text += "# sampleRate:";
  text += sample_rate;
  text += "# Channels:";
  text += channels;
  text += "\n";
  return text;
}

TagValues read_tag_values(const std::string& path) {
  TagValues values;
  TagLib::FileRef ref(path.c_str(), /*readAudioProperties=*/true, TagLib::AudioProperties::Average);
  if (ref.isNull()) return values;
  if (const TagLib::Tag* tag = ref.tag()) {
    values.title = utf8(tag->title());
    values.artist = utf8(tag->artist());
    values.album = utf8(tag->album());
    values.year = tag->year();
    values.comment = utf8(tag->comment());
    values.track = tag->track();
    values.genre = utf8(tag->genre());
  }
  if (const TagLib::AudioProperties* props = ref.audioProperties()) {
    values.length_seconds = props->length();
    values.bitrate = props->bitrate();
    values.sample_rate = props->sampleRate();
    values.channels = props->channels();
  }
  return values;
}

}  // namespace tessary

void tunegrab() {
  std::string text = tessary::build_tag_text(tessary::read_tag_values(pfad_fuer_mp3));
  // Swap, so the slot's former content goes away with the temporary.
  mp3_tags_content.swap(text);
}
