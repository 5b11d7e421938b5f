/* Test stand-in for the kernel's Wireless Extensions, which this machine's kernel lacks.
 * Preloaded into the daemon, it answers SIOCGIWRANGE, SIOCGIWAP, SIOCGIWMODE and SIOCGIWESSID
 * for one interface (TAMROD_WEXT_IFNAME) from a small state file (TAMROD_WEXT_STATE) that the
 * test rewrites at will; every other ioctl goes to the C library untouched.
 *
 * State file, one "key=value" per line, read afresh on every request:
 *   bssid=00:11:22:33:44:55   access point address (default all zero: not associated)
 *   mode=2                    IW_MODE_* value (default 2, managed)
 *   essid=LabNet              network name (default empty)
 *   version=22                we_version_compiled reported by SIOCGIWRANGE (default 22)
 *   range_len=568             length SIOCGIWRANGE reports (default 568, as a real 6.1 kernel)
 *   fail=0                    1: every request fails with EOPNOTSUPP, as on a non-wireless device
 *   fail_only=SIOCGIWAP       only this one request (SIOCGIWRANGE, SIOCGIWAP, SIOCGIWMODE or
 *                             SIOCGIWESSID) fails with EOPNOTSUPP (default: none)
 */
#include <dlfcn.h>
#include <errno.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <linux/wireless.h>

struct wext_state {
    unsigned char bssid[6];
    int mode;
    char essid[IW_ESSID_MAX_SIZE + 1];
    int version;
    int range_len;
    int fail;
    unsigned long fail_only;
};

static unsigned long request_named(const char* name)
{
    static const struct { const char* name; unsigned long req; } known[] = {
        {"SIOCGIWRANGE", SIOCGIWRANGE}, {"SIOCGIWAP", SIOCGIWAP},
        {"SIOCGIWMODE", SIOCGIWMODE}, {"SIOCGIWESSID", SIOCGIWESSID},
    };
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (strcmp(name, known[i].name) == 0)
            return known[i].req;
    return 0;
}

static void load_state(struct wext_state* s)
{
    memset(s, 0, sizeof *s);
    s->mode = IW_MODE_INFRA;
    s->version = 22;
    s->range_len = 568;
    const char* path = getenv("TAMROD_WEXT_STATE");
    FILE* f = path ? fopen(path, "re") : NULL;
    if (!f)
        return;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = '\0';
        unsigned b[6];
        if (sscanf(line, "bssid=%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6) {
            for (int i = 0; i < 6; ++i)
                s->bssid[i] = (unsigned char)b[i];
        } else if (strncmp(line, "essid=", 6) == 0) {
            size_t n = strlen(line + 6);
            if (n > IW_ESSID_MAX_SIZE)
                n = IW_ESSID_MAX_SIZE;
            memcpy(s->essid, line + 6, n);
            s->essid[n] = '\0';
        } else if (strncmp(line, "fail_only=", 10) == 0) {
            s->fail_only = request_named(line + 10);
        } else {
            sscanf(line, "mode=%d", &s->mode);
            sscanf(line, "version=%d", &s->version);
            sscanf(line, "range_len=%d", &s->range_len);
            sscanf(line, "fail=%d", &s->fail);
        }
    }
    fclose(f);
}

static int answer(unsigned long req, struct iwreq* w)
{
    struct wext_state s;
    load_state(&s);
    if (s.fail || (s.fail_only != 0 && s.fail_only == req)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    switch (req) {
    case SIOCGIWRANGE: {
        size_t len = w->u.data.length < (unsigned)s.range_len ? w->u.data.length : (size_t)s.range_len;
        memset(w->u.data.pointer, 0, w->u.data.length);
        struct iw_range* r = w->u.data.pointer;
        if (w->u.data.length >= sizeof *r)
            r->we_version_compiled = (unsigned char)s.version;
        w->u.data.length = (unsigned short)len;
        return 0;
    }
    case SIOCGIWAP:
        w->u.ap_addr.sa_family = 1; /* ARPHRD_ETHER */
        memcpy(w->u.ap_addr.sa_data, s.bssid, 6);
        return 0;
    case SIOCGIWMODE:
        w->u.mode = (unsigned)s.mode;
        return 0;
    case SIOCGIWESSID: {
        size_t n = strlen(s.essid);
        if (n > w->u.essid.length)
            n = w->u.essid.length;
        memcpy(w->u.essid.pointer, s.essid, n);
        w->u.essid.length = (unsigned short)n;
        w->u.essid.flags = n ? 1 : 0;
        return 0;
    }
    }
    return -2;
}

int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    const char* ifname = getenv("TAMROD_WEXT_IFNAME");
    if (ifname && (req == SIOCGIWRANGE || req == SIOCGIWAP || req == SIOCGIWMODE || req == SIOCGIWESSID)) {
        struct iwreq* w = arg;
        if (strncmp(w->ifr_name, ifname, IFNAMSIZ) == 0) {
            int r = answer(req, w);
            if (r != -2)
                return r;
        }
    }
    static int (*real_ioctl)(int, unsigned long, ...);
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return real_ioctl(fd, req, arg);
}
