#include "readers/tunegrab.h"

void tunegrab() {}
