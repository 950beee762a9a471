#include "readers/slots.h"

std::string pfad_fuer_mp3;
std::string mp3_tags_content;
std::string pfad_uebergabe_flac;
std::string flac_tags_content;
std::string pfad_uebergabe_pdf;
std::string pdf_content;
std::string pagegrab_max_lines;
