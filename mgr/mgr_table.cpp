// The server and search domain tables: lifetimes, the merge of a report, publication to the output module.
#include "mgr_internal.h"
#include "mgr_rules.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <utility>

using namespace std::chrono_literals;

namespace {

using namespace mgr_rules;

auto& table = mgr_sm.server_table;
auto& domains = mgr_sm.domain_table;

bool same_address(const in6_addr& a, const in6_addr& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
// Names arrive in lower case already; comparing without regard to case costs nothing more.
bool same_name(const domain_name& a, const domain_name& b) { return strncasecmp(a.data(), b.data(), a.size()) == 0; }

}  // namespace

bool domains_well_formed(const dnssl_report& r)
{
    if (r.count < 0 || r.count > kMaxDomains)
        return false;
    return std::all_of(r.name.begin(), r.name.begin() + r.count, [](const domain_name& name) {
        return name[0] != '\0' && std::memchr(name.data(), '\0', name.size()) != nullptr;
    });
}

bool table_age(mgr_ms elapsed) { return age(table, elapsed); }

void table_merge(const rdnss_report& report)
{
    // Never trust a count to stay within the slots, whoever built the report.
    merge(table, &rdnss_entry::address, report.addr, std::clamp(report.count, 0, kMaxServers), report.lifetime,
          same_address, [](rdnss_entry&) {});
}

bool domains_age(mgr_ms elapsed) { return age(domains, elapsed); }

void domains_merge(const dnssl_report& report)
{
    std::array<uint32_t, kMaxDomains> life{};
    life.fill(report.lifetime);
    // A new name goes after those held, in the order announced; a refreshed one keeps its place.
    merge(domains, &domain_entry::name, report.name, report.count, life, same_name,
          [](domain_entry& d) { d.order = mgr_sm.next_order++; });
}

bool domains_empty()
{
    return std::none_of(domains.begin(), domains.end(), [](const domain_entry& d) { return d.in_use; });
}

void domains_clear()
{
    for (auto& d : domains)
        d.in_use = false;
}

mgr_ms domains_earliest() { return earliest(domains); }

void domains_publish()
{
    std::array<const domain_entry*, kMaxDomains> held{};
    search_list list{};
    for (const auto& d : domains) {
        if (!d.in_use)
            continue;
        int32_t j = list.count++;  // into place by order of arrival
        for (; j > 0 && held[j - 1]->order > d.order; --j)
            held[j] = held[j - 1];
        held[j] = &d;
    }
    // The name only: whatever a report carried behind its NUL stays here.
    for (int32_t i = 0; i < list.count; ++i)
        std::memcpy(list.name[i].data(), held[i]->name.data(), std::strlen(held[i]->name.data()));
    auto& pub = mgr_sm.published_search;
    const bool same = list.count == pub.count &&
                      std::equal(list.name.begin(), list.name.begin() + list.count, pub.name.begin(),
                                 [](const domain_name& a, const domain_name& b) { return std::strcmp(a.data(), b.data()) == 0; });
    if (same)
        return;
    pub = list;
    mgr_stage(OUT_SEARCH, &list, sizeof list);
}

bool table_empty()
{
    return std::none_of(table.begin(), table.end(), [](const rdnss_entry& s) { return s.in_use; });
}

void table_clear()
{
    for (auto& slot : table)
        slot.in_use = false;
}

mgr_ms table_earliest() { return earliest(table); }

void mgr_publish(int force)
{
    auto& pub = mgr_sm.published_list;
    const auto k = std::count_if(table.begin(), table.end(), [](const rdnss_entry& s) { return s.in_use; });

    if (k == pub.count) {
        std::fill_n(pub.matched.begin(), k, false);
        for (const auto& slot : table)
            for (int32_t j = 0; slot.in_use && j < pub.count; ++j)
                pub.matched[j] = pub.matched[j] || same_address(slot.address, pub.addr[j]);
        const bool unchanged = std::all_of(pub.matched.begin(), pub.matched.begin() + pub.count, [](bool f) { return f; });
        if (unchanged && !force)
            return;
    }

    pub.count = 0;
    for (const auto& slot : table)
        if (slot.in_use)
            pub.addr[pub.count++] = slot.address;

    ns6_list list{};
    list.count = pub.count;
    std::copy_n(pub.addr.begin(), pub.count, list.addr.begin());
    mgr_stage(OUT_WLAN6, &list, sizeof list);
}
