#include "record/record.h"

#include <sys/time.h>

#include <ctime>

#include "process/text.h"

namespace tessary {
namespace {

void append_two_digits(std::string* out, int value) {
  const std::string text = std::to_string(value);
  if (text.size() < 2) out->push_back('0');
  out->append(text);
}

}  // namespace

std::string format_stamp(const struct tm& tm, long micros) {
  std::string stamp;
  stamp.reserve(32);
  append_two_digits(&stamp, tm.tm_mday);
  stamp.push_back('.');
  append_two_digits(&stamp, tm.tm_mon + 1);
  stamp.push_back('.');
  stamp.append(std::to_string(tm.tm_year + 1900));
  stamp.push_back(' ');
  append_two_digits(&stamp, tm.tm_hour);
  stamp.push_back(':');
  append_two_digits(&stamp, tm.tm_min);
  stamp.push_back(':');
  append_two_digits(&stamp, tm.tm_sec);
  stamp.push_back('.');
  stamp.append(std::to_string(micros));
  return stamp;
}

std::string build_record_stamp() {
  const time_t now = time(nullptr);
  struct tm broken {};
  localtime_r(&now, &broken);
  // The microseconds come from a second clock reading, taken just after the first.
  timeval tv {};
  gettimeofday(&tv, nullptr);
  return format_stamp(broken, static_cast<long>(tv.tv_usec));
}

void normalise_texts(std::string& path, std::string& file_name, std::string& content) {
  lowercase_ascii(&file_name);
  lowercase_ascii(&path);
  // Line feeds would end the record line early; zero bytes would cut it short on the wire.
  std::size_t kept = 0;
  for (char c : content) {
    if (c == '\n' || c == '\0') continue;
    content[kept++] = lower_ascii(c);
  }
  content.resize(kept);
  for (char& c : path) {
    if (c == '\'' || c == '"') c = ' ';
  }
}

std::string build_index_record(const std::string& path, const std::string& file_name, const RecordFacts& facts,
                               const std::string& digest, const std::string& content, const std::string& stamp) {
  std::string record;
  record.reserve(content.size() + path.size() + file_name.size() + 256);
  record.append("set '#PFAD#").append(path);
  record.append("#DATEINAME#").append(file_name);
  record.append("#LETZ.ZUG#").append(facts.access_time);
  record.append("#LETZT.MOD#").append(facts.modification_time);
  record.append("#CREATE.DATAE#").append(facts.change_time);
  record.append("#SIZE#").append(facts.size);
  record.append("#MD5#").append(digest);
  record.append("#INHALT#").append(content);
  record.append("@@ENDE@@' ");
  record.append("'").append(stamp);
  record.append("'");
  record.append("\r\n");
  return record;
}

}  // namespace tessary
