// What the manager holds beside the servers: the search domains' share of ageing and publication,
// the NAT64 prefixes and the captive portal.
#include "mgr_internal.h"
#include "mgr_rules.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace mgr_rules;

auto& prefixes = mgr_sm.pref64_table;

bool same_prefix(const nat64_prefix& a, const nat64_prefix& b)
{
    return a.length == b.length && std::memcmp(&a.prefix, &b.prefix, sizeof a.prefix) == 0;
}

bool prefixes_empty()
{
    return std::none_of(prefixes.begin(), prefixes.end(), [](const prefix_entry& p) { return p.in_use; });
}

// The held prefixes in slot order, when they differ from what was published last.
void pref64_publish()
{
    pref64_list list{};
    for (const auto& p : prefixes)
        if (p.in_use)
            list.prefix[list.count++] = p.prefix;
    if (std::memcmp(&list, &mgr_sm.published_pref64, sizeof list) == 0)
        return;
    mgr_sm.published_pref64 = list;
    mgr_stage(OUT_PREF64, &list, sizeof list);
}

void portal_publish()
{
    if (std::strcmp(mgr_sm.portal.uri.data(), mgr_sm.published_portal.uri.data()) == 0)
        return;
    mgr_sm.published_portal = mgr_sm.portal;
    mgr_stage(OUT_PORTAL, &mgr_sm.portal, sizeof mgr_sm.portal);
}

}  // namespace

bool side_age(mgr_ms elapsed)
{
    const bool domains_gone = domains_age(elapsed);
    const bool prefixes_gone = age(prefixes, elapsed);
    if (domains_gone)
        domains_publish();
    if (prefixes_gone)
        pref64_publish();
    return domains_gone || prefixes_gone;
}

bool side_empty() { return domains_empty() && prefixes_empty(); }

mgr_ms side_earliest() { return std::min(domains_earliest(), earliest(prefixes)); }

void side_clear()
{
    domains_clear();
    for (auto& p : prefixes)
        p.in_use = false;
    mgr_sm.portal = {};
}

void side_publish()
{
    domains_publish();
    pref64_publish();
    portal_publish();
}

bool pref64_well_formed(const pref64_report& r)
{
    static constexpr int32_t kLengths[] = {96, 64, 56, 48, 40, 32};
    return std::find(std::begin(kLengths), std::end(kLengths), r.prefix.length) != std::end(kLengths);
}

void pref64_merge(const pref64_report& r)
{
    if (r.lifetime == 0) {
        // RFC 8781 4: a lifetime of 0 says the prefix is no longer to be used, at once.
        for (auto& p : prefixes)
            if (p.in_use && same_prefix(p.prefix, r.prefix))
                p.in_use = false;
    } else {
        merge(prefixes, &prefix_entry::prefix, std::array{r.prefix}, 1, std::array{r.lifetime}, same_prefix,
              [](prefix_entry&) {});
    }
    pref64_publish();
}

bool portal_well_formed(const portal_uri& r)
{
    return std::memchr(r.uri.data(), '\0', r.uri.size()) != nullptr;
}

void portal_take(const portal_uri& r)
{
    mgr_sm.portal = {};
    std::strcpy(mgr_sm.portal.uri.data(), r.uri.data());
    portal_publish();
}
