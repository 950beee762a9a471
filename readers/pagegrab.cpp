#include "readers/pagegrab.h"

void pagegrab() {}
