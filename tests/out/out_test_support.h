// What the output tests share: a script that logs every run, and raw control-socket exchanges.
#pragma once

#include "proc.h"
#include "records.h"

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

namespace ot {

using namespace std::chrono_literals;

// One run of the logging script as it recorded itself.
struct script_run {
    long long begin_ns = -1;
    long long end_ns = -1;            // -1 while the run is going on
    std::vector<std::string> env;     // TAMROD_V6, _V4, _R6, _R4 lines in the order exec passed them
    bool ready = false;               // its environment is all in the log
};

// A shell script in dir that logs each run's environment, notes any overlap
// of two runs, and, while the hold file exists, keeps running (never beyond 5 s).
class script_log {
public:
    explicit script_log(const tt::temp_dir& dir);
    const std::string& path() const { return script_; }
    std::vector<script_run> runs() const;
    bool overlapped() const;
    void hold(bool on) const;
    // Waits until n runs have ended; false on time-out.
    bool wait_ended(size_t n, std::chrono::milliseconds timeout = 10s) const;
    // Waits until n runs have logged their environment; false on time-out.
    bool wait_begun(size_t n, std::chrono::milliseconds timeout = 10s) const;
    // Waits until the log has been still for the quiet span (bounded); the runs it holds then.
    std::vector<script_run> settle(std::chrono::milliseconds quiet = 600ms) const;

private:
    std::string dir_, script_, log_;
};

ns4_list v4(std::initializer_list<const char*> addrs);
ns6_list v6(std::initializer_list<const char*> addrs);

template <typename T>
std::string bytes_of(const T& v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
inline std::string word(uint32_t w) { return bytes_of(w); }

// Connects to the control socket; -1 on failure.
int ctl_connect();
// Reads until the peer closes (bounded); "<timeout>" appended when it did not.
std::string read_to_end(int fd, std::chrono::milliseconds timeout = 5s);
// Sends the bytes on a fresh connection and returns everything the daemon answers until it closes.
std::string exchange(const std::string& request);
// The daemon's CMD_LIST reply, decoded; fails the test on a reply that is not 88 bytes.
ctl_list_reply list_lists();

}  // namespace ot
