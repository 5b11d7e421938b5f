// rq_set and out_post doubles; the manager thread calls them while tests read, hence the lock.
#include "doubles.h"

#include "out.h"
#include "rq.h"
#include "util.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

namespace dbl {
namespace {
std::mutex lock;
std::vector<std::string> log;
std::vector<ns6_list> lists;
std::function<void(int32_t, bool)> rq_hook;
}  // namespace

void record(std::string line)
{
    std::lock_guard g(lock);
    log.push_back(std::move(line));
}

std::vector<std::string> calls()
{
    std::lock_guard g(lock);
    return log;
}

std::vector<ns6_list> published()
{
    std::lock_guard g(lock);
    return lists;
}

void clear()
{
    std::lock_guard g(lock);
    log.clear();
    lists.clear();
}

void on_rq_set(std::function<void(int32_t, bool)> hook)
{
    std::lock_guard g(lock);
    rq_hook = std::move(hook);
}

std::string text(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

in6_addr addr(int n)
{
    in6_addr a{};
    a.s6_addr[0] = 0x20, a.s6_addr[1] = 0x01, a.s6_addr[2] = 0x0d, a.s6_addr[3] = 0xb8;
    a.s6_addr[15] = static_cast<uint8_t>(n);
    return a;
}

}  // namespace dbl

void rq_set(int32_t interval_ms, bool burst)
{
    dbl::record("rq " + std::to_string(interval_ms) + " " + std::to_string(burst ? 1 : 0));
    std::function<void(int32_t, bool)> hook;
    {
        std::lock_guard g(dbl::lock);
        hook = dbl::rq_hook;
    }
    if (hook)
        hook(interval_ms, burst);
}

void out_post(uint32_t type, const void* payload, uint32_t length)
{
    ns6_list list{};
    std::string line = "out";
    if (type == OUT_SEARCH && length == sizeof(search_list) && payload != nullptr) {
        search_list names{};
        std::memcpy(&names, payload, sizeof names);
        line = "search [";
        for (int i = 0; i < names.count && i < kMaxDomains; ++i)
            line += (i ? " " : "") + std::string(names.name[i].data());
        dbl::record(line + "]");
        return;
    }
    if (type == OUT_PREF64 && length == sizeof(pref64_list)) {
        pref64_list p{};
        std::memcpy(&p, payload, sizeof p);
        line = "pref64 [";
        for (int i = 0; i < p.count && i < kMaxPref64; ++i)
            line += (i ? " " : "") + dbl::text(p.prefix[i].prefix) + "/" + std::to_string(p.prefix[i].length);
        dbl::record(line + "]");
        return;
    }
    if (type == OUT_PORTAL && length == sizeof(portal_uri)) {
        dbl::record("portal [" + std::string(static_cast<const portal_uri*>(payload)->uri.data()) + "]");
        return;
    }
    if (type != OUT_WLAN6 || length != sizeof list || payload == nullptr) {
        line += " type " + std::to_string(type) + " length " + std::to_string(length);
    } else {
        std::memcpy(&list, payload, sizeof list);
        line += " [";
        for (int i = 0; i < list.count && i < kMaxServers; ++i)
            line += (i ? " " : "") + dbl::text(list.addr[i]);
        line += "]";
        std::lock_guard g(dbl::lock);
        dbl::lists.push_back(list);
    }
    dbl::record(line);
}

void out_post_batch(const chan_batch& batch)
{
    for (uint32_t i = 0; i < batch.count; ++i) {
        const auto& e = batch.entries[i];
        out_post(e.type, batch.data.data() + e.offset, e.length);
    }
}
