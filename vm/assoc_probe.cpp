// Preloaded into tamrod inside the virtual machine. Logs every association report the wireless
// monitor writes into the manager's channel, with the CLOCK_REALTIME time of the write, and passes the
// write on untouched. The lab reads the log for the BSSID a report carried and compares the stamps with
// those of `iw event -t` (gettimeofday, the same clock) to time the kernel's connect event to the report.
// Log file: TAMROD_ASSOC_LOG; one line per report: "<seconds.micro> assoc=<0|1> bssid=<mac> essid=<name>".
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "records.h"

namespace {

using writev_fn = ssize_t (*)(int, const iovec*, int);

void probe_log(const assoc_info& a)
{
    const char* path = std::getenv("TAMROD_ASSOC_LOG");
    if (path == nullptr)
        return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    char essid[sizeof a.essid];
    std::memcpy(essid, a.essid.data(), sizeof essid);
    essid[sizeof essid - 1] = '\0';
    char line[160];
    const int n = std::snprintf(line, sizeof line,
                                "%lld.%06ld assoc=%d bssid=%02x:%02x:%02x:%02x:%02x:%02x essid=%s\n",
                                static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000, a.associated,
                                a.bssid[0], a.bssid[1], a.bssid[2], a.bssid[3], a.bssid[4], a.bssid[5],
                                essid);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (n > 0)
        (void)!write(fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
    close(fd);
}

}  // namespace

extern "C" ssize_t writev(int fd, const iovec* iov, int iovcnt)
{
    static const auto real = reinterpret_cast<writev_fn>(dlsym(RTLD_NEXT, "writev"));
    if (iovcnt == 2 && iov[0].iov_len == sizeof(uint32_t) && iov[1].iov_len == sizeof(assoc_info)) {
        uint32_t type;
        std::memcpy(&type, iov[0].iov_base, sizeof type);
        if (type == MGR_ASSOC) {
            const int saved = errno;
            assoc_info a;
            std::memcpy(&a, iov[1].iov_base, sizeof a);
            probe_log(a);
            errno = saved;
        }
    }
    return real(fd, iov, iovcnt);
}
