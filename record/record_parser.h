// Reading the index records a connection carries, exactly as the agent builds them.
//
// A connection sends records one after another, then "quit\r\n" (or just ends). A record is
//
//   set '#PFAD#<path>#DATEINAME#<name>#LETZ.ZUG#<atime>#LETZT.MOD#<mtime>#CREATE.DATAE#<ctime>
//   #SIZE#<size>#MD5#<digest>#INHALT#<content>@@ENDE@@' '<stamp>'\r\n          (one line on the wire)
//
// and nothing in it is escaped. What the parser anchors on, because it cannot vary:
//   - the content never holds a line feed (the agent removes them), and neither do the times,
//     size, digest and stamp, so a record ends at a line feed, and its last line holds the whole
//     middle block (times, size, digest), the content and the end;
//   - the path never holds a quote (the agent turns both kinds into blanks);
//   - the name is the path's last component (after its last "/" or backslash), byte for byte but
//     for ASCII case and a quote in the name where the path has a blank; so it is never longer
//     than a path component (at most kNameMax bytes) and holds no "/" or backslash;
//   - the shapes: atime and mtime "Y-MM-DD HH:MM:SS"; ctime "Www Mmm dd HH:MM:SS Y" (the day
//     blank-padded, the weekday that date's own); size decimal digits without leading zeros
//     that fit a signed 64-bit integer; digest 32 lowercase hex digits or "nicht berechnet";
//     stamp "DD.MM.Y HH:MM:SS.micro" with 1 to 6 micro digits without leading zeros. Y is a
//     year from 1 to 9999 without leading zeros. Every date and time must exist (no 30 February,
//     no hour 24, no second 60).
//
// How one record is decided, given the bytes up to a line feed:
//   1. It must start with "set '#PFAD#" and end with "@@ENDE@@' '" + stamp + "'\r\n"; the stamp
//      is what follows the last "' '" (a stamp holds no quote).
//   2. The middle block is looked for in the last line only, left to right: the first place
//      where a well-shaped block starts, preceded by a head "<path>#DATEINAME#<name>" that splits
//      as described above, and followed by "#INHALT#", wins; the content is what lies between it
//      and the end. A head splits in at most one way (the name's length equals its last
//      component's), so a path holding "#DATEINAME#" is read right; a content holding a whole
//      other record (without its line feed) stays content.
// How the records of a stream are framed:
//   3. A record ends at the first line feed at which the bytes since its start form a record.
//      A line that starts with "set '#PFAD#" while a record is pending starts a new record, and
//      the pending bytes are one malformed record (a path cannot hold the quote in it; a name could
//      only if it held the upper-case marker, which the agent lowercases). So a malformed record
//      between good ones costs only itself.
//   4. "quit\r\n" where a record would start ends the stream (what follows is ignored); elsewhere
//      it is part of the pending record, as a path may hold it. At the end of the stream a pending
//      record is malformed.
//   5. A pending record longer than the record limit ends the stream as "too long".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

/// Longest name (a path's last component) a record can carry: PATH_MAX.
constexpr std::size_t kNameMax = 4096;

/// A wall-clock date and time as the record gives it, without a zone.
struct CivilTime {
  int year = 1;  ///< 1 to 9999
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const CivilTime& other) const;
};

/// The record's stamp: a civil time and its microseconds.
struct RecordStamp {
  CivilTime time;
  int micros = 0;  ///< 0 to 999999
  bool operator==(const RecordStamp& other) const { return time == other.time && micros == other.micros; }
};

/// Strict order of stamps as times.
bool stamp_before(const RecordStamp& a, const RecordStamp& b);

/// One parsed index record; the texts are the record's bytes as sent.
struct IndexRecord {
  std::string path;
  std::string name;
  CivilTime atime;
  CivilTime mtime;
  CivilTime ctime;
  std::int64_t size = 0;
  std::optional<std::string> md5;  ///< 32 lowercase hex digits; none for "nicht berechnet"
  std::string content;
  RecordStamp stamp;
};

/// Parses one whole record (its "\r\n" included, nothing after it). Returns false with a short
/// reason in `why` when the bytes are not a record as described at the top of this header.
bool parse_record(std::string_view bytes, IndexRecord* record, std::string* why);

/// "YYYY-MM-DD HH:MM:SS" (the year zero-padded to four digits).
std::string format_civil_time(const CivilTime& time);
/// "YYYY-MM-DD HH:MM:SS.ffffff" (six digits).
std::string format_stamp_iso(const RecordStamp& stamp);
/// Reads the form format_civil_time writes; false for anything else or a date that does not exist.
bool parse_civil_time_iso(std::string_view text, CivilTime* time);

/// What the stream reader found.
struct StreamItem {
  enum class Kind { kRecord, kMalformed };
  Kind kind = Kind::kRecord;
  IndexRecord record;   ///< kRecord
  std::string excerpt;  ///< kMalformed: the record's first bytes (at most kExcerptMax), raw
  std::size_t length = 0;  ///< the record's length in bytes (items lie back to back in the stream)
  std::string why;      ///< kMalformed: the reason
};

/// Splits a connection's bytes into records (rules 3 to 5 above), incrementally: bytes may arrive
/// in pieces of any size. Holds at most the pending record plus one read.
class RecordStream {
 public:
  /// How many raw bytes a malformed item keeps for the log.
  static constexpr std::size_t kExcerptMax = 64;
  enum class State { kOpen, kQuit, kTooLong };

  /// `record_limit`: most bytes one record may have, its "\r\n" included.
  explicit RecordStream(std::size_t record_limit);

  /// Takes the next bytes; appends what they complete to `items`. Returns the state afterwards:
  /// kQuit once "quit\r\n" ended the stream (later bytes are ignored), kTooLong once a pending
  /// record passed the limit (the stream is then dead: the record is dropped, not reported).
  State feed(std::string_view bytes, std::vector<StreamItem>* items);

  /// The stream has ended: a pending record is reported as malformed.
  void finish(std::vector<StreamItem>* items);

  /// Bytes held for the pending record.
  std::size_t pending() const { return buffer_.size() - start_; }
  State state() const { return state_; }

 private:
  void process(std::vector<StreamItem>* items);
  void emit_malformed(std::size_t end, const std::string& why, std::vector<StreamItem>* items);
  void drop_front(std::size_t end);

  std::size_t limit_;
  State state_ = State::kOpen;
  std::string buffer_;
  std::size_t start_ = 0;       // first byte of the pending record in buffer_
  std::size_t line_start_ = 0;  // first byte of the current line
  std::size_t scan_ = 0;        // next byte not yet looked at
  bool line_checked_ = false;   // the current line's start was looked at
  std::size_t first_quote_ = std::string::npos;  // first quote after the pending record's "set '#PFAD#"
  std::string last_why_;        // why the pending bytes were not a record at the last line feed
};

}  // namespace tessary
