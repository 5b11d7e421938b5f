// TEMPORARY STAND-IN: the real RDNSS listener replaces this file.
#include "kl.h"

int kl_init(const char*) { return 0; }
int kl_start() { return 0; }
void kl_stop() {}
void kl_cleanup() {}
