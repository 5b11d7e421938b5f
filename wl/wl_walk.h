// The decoders' one walk over netlink messages and attributes, on the shared reader.
#pragma once

#include "bytes.h"

#include <linux/netlink.h>

// Calls each(element) front to back; false when the walk stopped at a malformed element (a
// length below its header or past the end), true when it reached the end or a tail too short
// for a header.
template <typename F>
bool wl_walk(bytes area, const tlv_rule& rule, F&& each)
{
    tlv_walker walker(area, rule);
    size_t used = 0;
    while (auto elem = walker.next()) {
        used += (elem->size() + rule.align - 1) / rule.align * rule.align;
        each(*elem);
    }
    return used >= area.size() || area.size() - used < rule.header;
}

// An attribute's type without the nested and byte-order flags.
inline uint16_t wl_attr_type(bytes attr)
{
    return read_at<uint16_t>(attr, offsetof(rtattr, rta_type)).value_or(0) & NLA_TYPE_MASK;
}

inline bytes wl_attr_payload(bytes attr)
{
    return attr.subspan(RTA_LENGTH(0));
}
