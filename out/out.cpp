// TEMPORARY STAND-IN: the real output thread, control server and script runner replace this file.
#include "out.h"

int out_init(const char*, const char*) { return 0; }
int out_start() { return 0; }
void out_stop() {}
void out_cleanup() {}
void out_post(uint32_t, const void*, uint32_t) {}
int ns4_compare(const ns4_list&, const ns4_list&) { return 1; }
int ns6_compare(const ns6_list&, const ns6_list&) { return 1; }
