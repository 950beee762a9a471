// MP3 tag reader.
#pragma once

/// Reads the tag and audio properties of the MP3 file named by `pfad_fuer_mp3` through TagLib
/// and replaces `mp3_tags_content` with one labelled line ending in a line feed. A file that
/// TagLib cannot read gives the labels with empty strings and zero numbers. Always returns.
void tunegrab();
