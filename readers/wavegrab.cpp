#include "readers/wavegrab.h"

void wavegrab() {}
