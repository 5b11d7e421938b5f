// A script for the output tests that logs every run it is started for.
#pragma once

#include "daemon.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace ot {

using namespace std::chrono_literals;

// One run of the logging script as it recorded itself.
struct script_run {
    long long begin_ns = -1;
    long long end_ns = -1;            // -1 while the run is going on
    std::vector<std::string> env;     // TAMROD_V6, _V4, _R6, _R4 lines in the order exec passed them
    std::string search;               // TAMROD_SEARCH's value
    std::string pref64;               // TAMROD_PREF64's value
    std::string portal;               // TAMROD_PORTAL's value
    std::string names;                // the daemon's and the service manager's variables, in order
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

// The real daemon on "lo" with the Wireless Extensions stand-in and the logging script; it is
// stopped (status 1) at the end of each test, and no two script runs may have overlapped.
class daemon_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The daemon in the foreground with the logging script, or another one, and extra options.
    tt::process spawn(const std::vector<std::string>& extra = {}, const std::string& script_path = {});
    // Starts the daemon and waits for the run that the manager's first, empty, list causes.
    void start(const std::vector<std::string>& extra = {});
    // Runs the client with these options.
    static tt::result client(std::vector<std::string> args);

    tt::temp_dir dir;
    script_log script{dir};
    std::string state = dir.file("wifi");
    tt::process daemon;
};

}  // namespace ot
