// Asks the kernel for an interface's Wireless Extensions range, the first request the daemon's
// Wireless Extensions path makes, and says whether the kernel answered. Exit status 0 when it
// answered, 1 when it refused, 2 on a usage error.
#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2 || std::strlen(argv[1]) >= IFNAMSIZ) {
        std::fprintf(stderr, "usage: wext_probe interface\n");
        return 2;
    }
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        std::perror("socket");
        return 2;
    }
    iw_range range{};
    iwreq req{};
    std::strncpy(req.ifr_name, argv[1], IFNAMSIZ - 1);
    req.u.data.pointer = &range;
    req.u.data.length = sizeof range;
    if (ioctl(s, SIOCGIWRANGE, &req) < 0) {
        std::printf("%s: SIOCGIWRANGE refused: %s\n", argv[1], std::strerror(errno));
        close(s);
        return 1;
    }
    std::printf("%s: SIOCGIWRANGE answered (%u bytes, version %u)\n", argv[1],
                static_cast<unsigned>(req.u.data.length), static_cast<unsigned>(range.we_version_compiled));
    close(s);
    return 0;
}
