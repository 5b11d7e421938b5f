// The control socket at its fixed path, one daemon per device.
#include "out_socket.h"

#include "records.h"
#include "util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int kListenBacklog = 5;
// Beside the socket: held by the one daemon that serves it (see take_start_lock).
constexpr char kLockPath[] = "/dev/tamctl.lock";

// Replaces a socket file left by a daemon that died; refuses when another daemon answers on it.
// Only the holder of the start lock gets here, so no other daemon is between bind and listen.
bool probe_control_path(const sockaddr_un& addr)
{
    if (access(kControlPath, W_OK) != 0)
        return true;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        perror("socket");
        return false;
    }
    const bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    fd_close(probe);
    if (answered) {
        std::fputs("already running\n", stderr);
        return false;
    }
    unlink(kControlPath);
    return true;
}

// Whether the lock taken on fd is on the file now at the path: a daemon ending removes the file,
// and a start that opened it just before then holds a lock on a file nobody else will look at.
bool lock_is_current(int fd)
{
    struct stat held;
    struct stat now;
    return fstat(fd, &held) == 0 && stat(kLockPath, &now) == 0 && held.st_dev == now.st_dev &&
           held.st_ino == now.st_ino;
}

// One daemon per device: the lock is held for the daemon's life, and the kernel lets go of it
// when the process ends, however it ends.
bool take_start_lock(int& lock_fd)
{
    for (;;) {
        lock_fd = open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lock_fd < 0) {
            perror("open /dev/tamctl.lock");
            return false;
        }
        if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0)
            break;
        if (lock_is_current(lock_fd))
            return true;
        fd_close(lock_fd);  // taken on a file since removed: try the one there now
    }
    if (errno == EWOULDBLOCK)
        std::fputs("already running\n", stderr);
    else
        perror("flock");
    fd_close(lock_fd);
    return false;
}

bool bind_and_listen(int& listen_fd, const sockaddr_un& addr)
{
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        perror("socket");
        return false;
    }
    // Every local process may connect to list the servers; who may change them is decided per
    // connection from its credentials.
    const mode_t previous = umask(0);
    const int bound = bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    umask(previous);
    if (bound != 0) {
        perror("bind");
        // Someone else's file (or nothing) is at the path: it must not be unlinked for us.
        fd_close(listen_fd);
        return false;
    }
    if (listen(listen_fd, kListenBacklog) != 0) {
        perror("listen");
        return false;
    }
    return true;
}

}  // namespace

bool out_socket_open(int& listen_fd, int& lock_fd)
{
    const sockaddr_un addr = control_address();
    return take_start_lock(lock_fd) && probe_control_path(addr) && bind_and_listen(listen_fd, addr);
}

void out_socket_close(int& listen_fd, int& lock_fd)
{
    if (listen_fd >= 0) {
        fd_close(listen_fd);
        unlink(kControlPath);
    }
    // Only once our socket file is gone may another daemon take the path; the lock file goes
    // while we still hold its lock, so a start never finds one left behind by an orderly end.
    if (lock_fd >= 0) {
        unlink(kLockPath);
        fd_close(lock_fd);
    }
}
