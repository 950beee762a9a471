#include "driver/globals.h"

std::string SIGSEGV_pfad_datei = "";
