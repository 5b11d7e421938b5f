// Client side of the control socket: the one-shot commands -4, -r, -l, -u, -t.
#pragma once

#include <cstdint>

// Connects and sends the command word plus payload; the connected socket, or -1 (reported).
int ctl_request(uint32_t command, const void* payload, uint32_t length);

// Each returns the process exit status: 0 success, 1 failure.
int ctl_set_wlan4(int argc, char** argv);
int ctl_set_radio(int argc, char** argv);
int ctl_list();
int ctl_reload();
int ctl_terminate();
