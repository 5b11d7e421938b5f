// TEMPORARY STAND-IN: the real client commands replace this file.
#include "ctl.h"

#include <cstdio>

int ctl_request(uint32_t, const void*, uint32_t) { return -1; }
static int not_yet() { std::fputs("control commands not built yet\n", stderr); return 1; }
int ctl_set_wlan4(int, char**) { return not_yet(); }
int ctl_set_radio(int, char**) { return not_yet(); }
int ctl_list() { return not_yet(); }
int ctl_reload() { return not_yet(); }
int ctl_terminate() { return not_yet(); }
