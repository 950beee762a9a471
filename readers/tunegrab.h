// MP3 tag reader.
//
// tunegrab() reads an MP3 file's tag and audio properties through TagLib and leaves one labelled
// line in the hand-over slot `mp3_tags_content`. The text itself is built by the pure function
// build_tag_text(), which needs neither TagLib nor a file, so tests and fuzzers can drive it.
#pragma once

#include <string>

namespace tessary {

/// The values that make up the MP3 text, as TagLib gives them. Strings are UTF-8 bytes.
/// A file TagLib cannot read leaves every field at its default (empty strings, zeros).
struct TagValues {
  std::string title;
  std::string artist;
  std::string album;
  unsigned int year = 0;
  std::string comment;
  unsigned int track = 0;
  std::string genre;
  int length_seconds = 0;  ///< playing time in whole seconds
  int bitrate = 0;
  int sample_rate = 0;
  int channels = 0;
};

/// Minutes, ":" and the seconds in two digits filled with '0' ("4:05" for 245, "60:00" for 3600).
/// Minutes are never split into hours. Written exactly as a stream does it, so a negative length
/// (which TagLib does not produce) gives e.g. "0:-5" instead of failing.
std::string format_mp3_length(int seconds);

/// The labelled line: "Titel:" title, "# Artist:" artist, "# Album:", "# Jahr:", "# Kommentar:",
/// "# Track Nr. :", "# Artist:" (the artist again), "# Genre:", "# Länge:" (length as
/// format_mp3_length), "# Bitrate:", "# sampleRate:", "# Channels:", then one "\n". Values follow
/// their labels directly; nothing in them is escaped. Never fails.
std::string build_tag_text(const TagValues& values);

/// Reads `path` through TagLib (audio properties at the Average read style). Tag strings come out
/// as UTF-8. Whatever TagLib cannot give (no file, no tag, no audio properties) stays at its
/// default; a missing tag or property object is never touched. Never fails.
TagValues read_tag_values(const std::string& path);

}  // namespace tessary

/// Reads the tag and audio properties of the MP3 file named by `pfad_fuer_mp3` through TagLib
/// and replaces `mp3_tags_content` with one labelled line ending in a line feed. A file that
/// TagLib cannot read gives the labels with empty strings and zero numbers. Always returns.
void tunegrab();
