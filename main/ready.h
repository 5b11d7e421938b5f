// Readiness for a service manager (Type=notify units).
#pragma once

// Tells the service manager that the daemon serves its control socket; nothing without one.
void ready_notify();
