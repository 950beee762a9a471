#include "extract/dispatcher.h"

#include <cctype>

std::string read_content(std::string& extension, std::string& file_name, std::string& path,
                         std::string& content, std::string& mime_type, std::string& description,
                         std::string word_switch, std::string spreadsheet_switch, std::string line_limit,
                         std::string buffer_size, std::string executable_switch,
                         std::string windows_program, std::string work_directory, std::string media_switch,
                         std::string pdf_switch) {
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  content.clear();
  return content;
}
