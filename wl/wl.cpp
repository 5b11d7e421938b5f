// TEMPORARY STAND-IN: the real wireless monitor replaces this file.
#include "wl.h"

int wl_init(const char*) { return 0; }
int wl_start() { return 0; }
void wl_stop() {}
void wl_cleanup() {}
