#include "daemon.h"

#include <cstdlib>
#include <fstream>

namespace tt {

void write_wifi_state(const std::string& path, const wifi_state& s)
{
    const std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << "bssid=" << s.bssid << "\nmode=" << s.mode << "\nessid=" << s.essid << "\nversion=" << s.version
          << "\nrange_len=" << s.range_len << "\nfail=" << (s.fail ? 1 : 0) << "\n";
    }
    // Renamed into place so the daemon never reads a half-written state.
    std::rename(tmp.c_str(), path.c_str());
}

std::map<std::string, std::string> wifi_stub_env(const std::string& ifname, const std::string& state_file)
{
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    // ASan wants its runtime first among the preloaded libraries; the stand-in needs none of it.
    if (asan.find("verify_asan_link_order") == std::string::npos)
        asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    return {
        {"LD_PRELOAD", TAMROD_WEXT_STUB},
        {"TAMROD_WEXT_IFNAME", ifname},
        {"TAMROD_WEXT_STATE", state_file},
        {"ASAN_OPTIONS", asan},
    };
}

}  // namespace tt
