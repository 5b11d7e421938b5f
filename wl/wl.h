// Wireless association monitor (Wireless Extensions, or nl80211 where the kernel refuses them).
#pragma once

int wl_init(const char* ifname);
int wl_start();
void wl_stop();
void wl_cleanup();
