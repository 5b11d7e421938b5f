// Starting the real daemon in tests, with the Wireless Extensions stand-in preloaded.
#pragma once

#include "proc.h"

#include <map>
#include <string>

namespace tt {

// What the stand-in reports for the watched interface (see tests/platform/wext_stub.c).
struct wifi_state {
    std::string bssid = "00:00:00:00:00:00";
    int mode = 2;
    std::string essid;
    int version = 22;
    int range_len = 568;
    bool fail = false;
};

void write_wifi_state(const std::string& path, const wifi_state& s);

// Environment that preloads the stand-in for ifname, reading its answers from state_file.
std::map<std::string, std::string> wifi_stub_env(const std::string& ifname, const std::string& state_file);

}  // namespace tt
