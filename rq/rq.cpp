// TEMPORARY STAND-IN: the real sender and watcher replace this file; it only keeps the
// daemon linkable and the lifecycle complete until then.
#include "rq.h"

int rq_init(const char*) { return 0; }
int rq_start() { return 0; }
void rq_set(int32_t, bool) {}
void rq_stop() {}
void rq_cleanup() {}
