#include "now.h"

time_t now() { return time(nullptr); }
