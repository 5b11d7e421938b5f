/* Preloaded into daemons by the simultaneous-start test: listen waits 50 ms first, so that a
 * start probing the socket between another's bind and listen is no rare accident but the rule. */
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

int listen(int fd, int backlog)
{
    static int (*real)(int, int);
    if (real == NULL)
        real = (int (*)(int, int))dlsym(RTLD_NEXT, "listen");
    usleep(50000);
    return real(fd, backlog);
}
