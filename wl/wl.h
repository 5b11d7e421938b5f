// Wireless association monitor (Wireless Extensions).
#pragma once

int wl_init(const char* ifname);
int wl_start();
void wl_stop();
void wl_cleanup();
