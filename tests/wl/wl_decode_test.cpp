// The link notification decoder fed annotated datagrams laid out as a 64-bit kernel sends them.
#include "wl_decode.h"
#include "wire.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

constexpr unsigned kWatched = 3;
constexpr int kVersion = 22;

using namespace tt;  // the byte builders

constexpr char kName[] = "wlan0";

wl_decoded decode_all(const raw& d, unsigned watched = kWatched)
{
    return wl_decode_link(as_bytes_of(d.data(), d.size()), {watched, kName}, kVersion);
}

std::vector<wl_event> decode(const raw& d, unsigned watched = kWatched) { return decode_all(d, watched).events; }

// What the kernel sends on association, as `ip monitor link` would list it:
//   3: wlan0: <BROADCAST,MULTICAST,UP> ... (wireless event SIOCGIWAP 00:11:22:33:44:55)
const raw kAssociated = {
    // nlmsghdr: len 60, type 16 (RTM_NEWLINK), flags 0, seq 0, pid 0
    0x3c, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // ifinfomsg: family 0, type 1 (ether), index 3, flags 0x1003, change 0
    0x00, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // rtattr: len 28, type 11 (IFLA_WIRELESS)
    0x1c, 0x00, 0x0b, 0x00,
    // iw_event: len 24, cmd 0x8B15 (SIOCGIWAP), 4 bytes padding (64-bit layout)
    0x18, 0x00, 0x15, 0x8b, 0x00, 0x00, 0x00, 0x00,
    // sockaddr: family 1, address 00:11:22:33:44:55, 8 bytes unused
    0x01, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// Building blocks for the variations below; same layout as the fixture above.
raw ap_event(std::initializer_list<uint8_t> bssid)
{
    raw e(24, 0);
    e[0] = 0x18;
    e[2] = 0x15;
    e[3] = 0x8b;
    e[8] = 0x01;
    size_t at = 10;
    for (uint8_t b : bssid)
        e[at++] = b;
    return e;
}

// iw_event: len 12, cmd 0x8B06 (SIOCSIWMODE), padding, 32-bit mode.
raw mode_event(uint8_t mode) { return {0x0c, 0x00, 0x06, 0x8b, 0, 0, 0, 0, mode, 0, 0, 0}; }

// iw_event: len 16, cmd 0x8B19 (SIOCGIWSCAN), padding, iw_point length 0 and flags 0, padding.
raw scan_event() { return {0x10, 0x00, 0x19, 0x8b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

raw message(const raw& attrs, int32_t index = kWatched, uint16_t type = 16, int len = -1)
{
    raw m(32, 0);
    const uint32_t l = len >= 0 ? static_cast<uint32_t>(len) : static_cast<uint32_t>(32 + attrs.size());
    std::memcpy(&m[0], &l, 4);
    std::memcpy(&m[4], &type, 2);
    m[18] = 1;     // ARPHRD_ETHER
    m[24] = 0x03;  // IFF_UP | IFF_BROADCAST | IFF_MULTICAST (0x1003)
    m[25] = 0x10;
    std::memcpy(&m[20], &index, 4);
    m.insert(m.end(), attrs.begin(), attrs.end());
    return m;
}

raw wireless(const raw& stream) { return attr(11, stream); }

wl_event ap(std::initializer_list<uint8_t> b)
{
    wl_event e{wl_event::kind::access_point, 0, {}, false, {}, 0};
    std::copy(b.begin(), b.end(), e.bssid.begin());
    return e;
}

wl_event mode(int32_t m) { return {wl_event::kind::mode, m, {}, false, {}, 0}; }

// Nothing came out, and these rules are why.
MATCHER_P(dropped_for, why, "")
{
    return arg.events.empty() && arg.drops == why;
}

MATCHER_P(is_event, want, "")
{
    if (arg.what != want.what || arg.index != want.index)
        return false;
    return arg.what == wl_event::kind::mode ? arg.mode == want.mode : arg.bssid == want.bssid;
}

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(WlDecode, KernelAssociationNotification)
{
    EXPECT_THAT(decode(kAssociated), ElementsAre(is_event(ap({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}))));
    // The same bytes built from the blocks, so the variations below start from the real thing.
    EXPECT_EQ(message(wireless(ap_event({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}))), kAssociated);
}

TEST(WlDecode, EventsComeOutInStreamOrderAndOthersAreDropped)
{
    // As on association: a scan result, then (here) a mode change, then the access point.
    const raw stream = cat({scan_event(), mode_event(1), ap_event({0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
                            mode_event(2)});
    const wl_decoded out = decode_all(message(wireless(stream)));
    EXPECT_THAT(out.events, ElementsAre(is_event(mode(1)), is_event(ap({0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff})),
                                        is_event(mode(2))));
    EXPECT_THAT(out.drops, ElementsAre(wl_drop::other_event));
}

TEST(WlDecode, OnlyNewLinkMessagesOfTheWatchedInterfaceCount)
{
    const raw d = cat({
        message(wireless(ap_event({1, 2, 3, 4, 5, 6})), 4),           // another interface
        message(wireless(ap_event({1, 2, 3, 4, 5, 7})), 4, 17),       // another's RTM_DELLINK
        message(wireless(ap_event({1, 2, 3, 4, 5, 7})), kWatched, 20), // RTM_NEWADDR
        message(wireless(ap_event({1, 2, 3, 4, 5, 8}))),              // ours
        message(wireless(mode_event(1)), kWatched),                   // ours, second message
    });
    const wl_decoded out = decode_all(d);
    EXPECT_THAT(out.events, ElementsAre(is_event(ap({1, 2, 3, 4, 5, 8})), is_event(mode(1))));
    EXPECT_THAT(out.drops, ElementsAre(wl_drop::other_interface, wl_drop::other_interface, wl_drop::other_type));
}

// The followed interface removed, and one of the watched name created again.
TEST(WlDecode, RemovalAndReturnOfTheWatchedName)
{
    const raw name = attr(3, {'w', 'l', 'a', 'n', '0', 0});  // IFLA_IFNAME
    wl_event gone{wl_event::kind::gone, 0, {}, false, {}, kWatched};
    wl_event back{wl_event::kind::appeared, 0, {}, false, {}, 9};
    // `ip monitor link`: Deleted 3: wlan0 ...
    EXPECT_THAT(decode(message(name, kWatched, 17)), ElementsAre(is_event(gone)));
    // 9: wlan0: ... (a new index), while the old one is followed or after it went.
    EXPECT_THAT(decode(message(name, 9)), ElementsAre(is_event(back)));
    EXPECT_THAT(decode(message(name, 9), 0), ElementsAre(is_event(back)));
    // The followed interface's own messages, another name, or a prefix of the name: no return.
    EXPECT_THAT(decode(message(name)), IsEmpty());
    for (const raw& other : {attr(3, {'w', 'l', 'a', 'n', '1', 0}), attr(3, {'w', 'l', 'a', 'n', 0}),
                             attr(3, {'w', 'l', 'a', 'n', '0', '0', 0}), attr(3, {'w', 'l', 'a', 'n', '0'})})
        EXPECT_THAT(decode_all(message(other, 9)), dropped_for(std::vector{wl_drop::other_interface}));
}

// A bridge letting go of its port sends RTM_DELLINK of family AF_BRIDGE while the port stays:
// `ip monitor link` shows it as "Deleted 3: wlan0 ... master br0".
TEST(WlDecode, OnlyTheLinksOwnRemovalIsOne)
{
    raw released = message(attr(3, {'w', 'l', 'a', 'n', '0', 0}), kWatched, 17);
    released[16] = AF_BRIDGE;
    EXPECT_THAT(decode_all(released), dropped_for(std::vector{wl_drop::other_family}));
    released[16] = AF_UNSPEC;
    EXPECT_THAT(decode(released), ElementsAre(is_event(wl_event{wl_event::kind::gone, 0, {}, false, {}, kWatched})));
}

// Where nl80211 reports the association, link notifications serve for removals and renames
// alone: the Wireless Extensions events in them would report it twice.
TEST(WlDecode, LinksOnlyGivesRemovalAndRenameWithoutWirelessEvents)
{
    const raw renamed = message(attr(3, {'w', 'l', 'a', 'n', '0', 0}), 9);  // 9: wltmp0 -> wlan0
    const raw d = cat({kAssociated, renamed, message({}, kWatched, 17)});
    const wl_decoded out = wl_decode_link(as_bytes_of(d.data(), d.size()), {kWatched, kName}, kWlLinksOnly);
    EXPECT_THAT(out.events, ElementsAre(is_event(wl_event{wl_event::kind::appeared, 0, {}, false, {}, 9}),
                                        is_event(wl_event{wl_event::kind::gone, 0, {}, false, {}, kWatched})));
}

TEST(WlDecode, MissingInterfaceMatchesNothing)
{
    // if_nametoindex gives 0 when the interface is gone; a message for index 0 must not match it.
    const std::vector<wl_drop> other{wl_drop::other_interface};
    EXPECT_THAT(decode_all(message(wireless(ap_event({1, 2, 3, 4, 5, 6})), 0), 0), dropped_for(other));
    EXPECT_THAT(decode_all(kAssociated, 0), dropped_for(other));
}

TEST(WlDecode, OtherAttributesAreSkipped)
{
    const raw ifname = attr(3, {'w', 'l', 'a', 'n', '0', 0});  // IFLA_IFNAME, padded to 12 bytes
    const raw mtu = attr(4, {0xdc, 0x05, 0, 0});                // IFLA_MTU 1500
    const raw d = message(cat({ifname, wireless(ap_event({9, 8, 7, 6, 5, 4})), mtu}));
    EXPECT_THAT(decode(d), ElementsAre(is_event(ap({9, 8, 7, 6, 5, 4}))));
}

TEST(WlDecode, MalformedMessagesEndTheWalk)
{
    const raw good = message(wireless(ap_event({1, 2, 3, 4, 5, 6})));
    raw too_short = good;
    too_short[0] = 15;  // nlmsg_len below the header
    EXPECT_THAT(decode_all(cat({too_short, good})), dropped_for(std::vector{wl_drop::cut_message}));

    raw too_long = good;
    too_long[0] = static_cast<uint8_t>(good.size() + 4);  // claims more than the datagram holds
    EXPECT_THAT(decode_all(too_long), dropped_for(std::vector{wl_drop::cut_message}));

    // A link message too short for its ifinfomsg is skipped; the next message still counts.
    raw stub(20, 0);
    stub[0] = 20;
    stub[4] = 16;
    const wl_decoded after_stub = decode_all(cat({stub, good}));
    EXPECT_THAT(after_stub.events, ElementsAre(is_event(ap({1, 2, 3, 4, 5, 6}))));
    EXPECT_THAT(after_stub.drops, ElementsAre(wl_drop::short_message));

    // Trailing bytes too few for a header are ignored.
    const wl_decoded tail = decode_all(cat({good, raw(15, 0xff)}));
    EXPECT_THAT(tail.events, ElementsAre(is_event(ap({1, 2, 3, 4, 5, 6}))));
    EXPECT_THAT(tail.drops, IsEmpty());
    EXPECT_THAT(decode({}), IsEmpty());
}

TEST(WlDecode, MalformedAttributesEndTheAttributeWalk)
{
    const raw w = wireless(ap_event({1, 2, 3, 4, 5, 6}));
    // rta_len 2: below its own header.
    EXPECT_THAT(decode_all(message(cat({attr(3, {}, 2), w}))), dropped_for(std::vector{wl_drop::bad_attributes}));
    // rta_len beyond the message: nothing of it is decoded.
    raw overlong = w;
    overlong[0] = static_cast<uint8_t>(w.size() + 8);
    EXPECT_THAT(decode_all(message(overlong)), dropped_for(std::vector{wl_drop::bad_attributes}));
    // The next message is walked normally.
    EXPECT_THAT(decode(cat({message(overlong), message(w)})), ElementsAre(is_event(ap({1, 2, 3, 4, 5, 6}))));
}

TEST(WlDecode, MalformedEventsStopTheStream)
{
    // An event length of 0 (or up to its 4-byte header) is invalid: nothing after it is read.
    raw zero = {0x00, 0x00, 0x15, 0x8b};
    EXPECT_THAT(decode_all(message(wireless(cat({zero, ap_event({1, 2, 3, 4, 5, 6})})))),
                dropped_for(std::vector{wl_drop::bad_event}));
    // A mode event before the bad one still comes out.
    EXPECT_THAT(decode(message(wireless(cat({mode_event(1), zero, mode_event(2)})))),
                ElementsAre(is_event(mode(1))));

    // Access-point event cut short inside its address: no event.
    raw cut = ap_event({1, 2, 3, 4, 5, 6});
    cut.resize(16);
    EXPECT_THAT(decode(message(wireless(cut))), IsEmpty());

    // Cut by 4 bytes: libiw's 64-bit fix-up reads past the end it checked. The address bytes
    // are all present, so the event comes out; under ASan this also proves the read stays in
    // memory the decoder owns.
    raw cut4 = ap_event({1, 2, 3, 4, 5, 6});
    cut4.resize(20);
    const raw d = message(wireless(cut4));
    const auto events = decode(d);
    ASSERT_LE(events.size(), 1u);
    if (!events.empty()) {
        EXPECT_THAT(events[0], is_event(ap({1, 2, 3, 4, 5, 6})));
    }

    // An unknown command with a huge length is skipped as a whole; nothing follows it.
    raw unknown = {0xff, 0xff, 0x01, 0x8b, 0, 0, 0, 0};
    EXPECT_THAT(decode(message(wireless(cat({mode_event(1), unknown, mode_event(2)})))),
                ElementsAre(is_event(mode(1))));
}

TEST(WlDecode, BssidValidity)
{
    EXPECT_FALSE(wl_bssid_valid({0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(wl_bssid_valid({0x44, 0x44, 0x44, 0x44, 0x44, 0x44}));
    EXPECT_FALSE(wl_bssid_valid({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_TRUE(wl_bssid_valid({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_TRUE(wl_bssid_valid({0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(wl_bssid_valid({0x44, 0x44, 0x44, 0x44, 0x44, 0xff}));
}

TEST(WlDecode, RangeVersion)
{
    raw range(568, 0);
    range[280] = 22;  // we_version_compiled
    EXPECT_EQ(wl_range_version(as_bytes_of(range.data(), 568)), 22);
    EXPECT_EQ(wl_range_version(as_bytes_of(range.data(), 300)), 22);
    EXPECT_EQ(wl_range_version(as_bytes_of(range.data(), 299)), 9) << "short replies predate the field";
    EXPECT_EQ(wl_range_version(as_bytes_of(range.data(), 0)), 9);
}

}  // namespace
