// RDNSS option listener on the kernel's ND user option notifications.
#pragma once

int kl_init(const char* ifname);
int kl_start();
void kl_stop();
void kl_cleanup();
