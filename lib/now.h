#ifndef NOW_H
#define NOW_H

#include <ctime>

time_t now();

#endif
