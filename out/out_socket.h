// The listening control socket: taken only by the one daemon holding the start lock, so that a
// second start never removes or shadows a live daemon's socket. Not for other modules.
#pragma once

// Opens the listening socket and takes the start lock; false (reported, "already running" when
// another daemon holds them) with nothing of ours left at the path.
bool out_socket_open(int& listen_fd, int& lock_fd);
// Closes the socket and removes its file if it was ours, then lets go of the lock.
void out_socket_close(int& listen_fd, int& lock_fd);
