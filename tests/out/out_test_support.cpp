#include "out_test_support.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace ot {

script_log::script_log(const tt::temp_dir& dir) : dir_(dir.path()), log_(dir.file("log"))
{
    const std::string body = "#!/bin/sh\n"
                             "D='" + dir_ + "'\n"
                             "mkdir \"$D/busy\" 2>/dev/null || echo overlap >> \"$D/overlaps\"\n"
                             "{ echo \"begin $(date +%s%N)\"\n"
                             "  tr '\\0' '\\n' < /proc/$$/environ | grep '^TAMROD_[VR][46]='\n"
                             "  tr '\\0' '\\n' < /proc/$$/environ | grep -E '^TAMROD_(SEARCH|PREF64|PORTAL)='\n"
                             "  echo \"names $(tr '\\0' '\\n' < /proc/$$/environ |\n"
                             "    grep -oE '^(TAMROD_[A-Z0-9]+|NOTIFY_SOCKET|LISTEN_[A-Z]+|WATCHDOG_[A-Z]+)=' | tr -d = | xargs)\"\n"
                             "  echo ready; } >> \"$D/log\"\n"
                             "n=0\n"
                             "while [ -e \"$D/hold\" ] && [ $n -lt 250 ]; do sleep 0.02; n=$((n+1)); done\n"
                             "rmdir \"$D/busy\"\n"
                             "echo \"end $(date +%s%N)\" >> \"$D/log\"\n";
    script_ = dir.write("script.sh", body, 0755);
}

std::vector<script_run> script_log::runs() const
{
    std::vector<script_run> out;
    std::istringstream in(tt::read_file(log_));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("begin ", 0) == 0) {
            out.push_back({});
            out.back().begin_ns = std::stoll(line.substr(6));
        } else if (out.empty()) {
            continue;
        } else if (line.rfind("end ", 0) == 0) {
            out.back().end_ns = std::stoll(line.substr(4));
        } else if (line.rfind("TAMROD_SEARCH=", 0) == 0) {
            out.back().search = line.substr(14);
        } else if (line.rfind("TAMROD_PREF64=", 0) == 0) {
            out.back().pref64 = line.substr(14);
        } else if (line.rfind("TAMROD_PORTAL=", 0) == 0) {
            out.back().portal = line.substr(14);
        } else if (line.rfind("names ", 0) == 0 || line == "names") {
            out.back().names = line.size() > 6 ? line.substr(6) : "";
        } else if (line == "ready") {
            out.back().ready = true;
        } else {
            out.back().env.push_back(line);
        }
    }
    return out;
}

bool script_log::overlapped() const { return std::filesystem::exists(dir_ + "/overlaps"); }

void script_log::hold(bool on) const
{
    if (on)
        std::ofstream(dir_ + "/hold").put('\n');
    else
        std::filesystem::remove(dir_ + "/hold");
}

bool script_log::wait_ended(size_t n, std::chrono::milliseconds timeout) const
{
    return tt::eventually(
        [&] {
            auto r = runs();
            return r.size() >= n && r[n - 1].end_ns != -1;
        },
        timeout);
}

bool script_log::wait_begun(size_t n, std::chrono::milliseconds timeout) const
{
    return tt::eventually(
        [&] {
            auto r = runs();
            return r.size() >= n && r[n - 1].ready;
        },
        timeout);
}

std::vector<script_run> script_log::settle(std::chrono::milliseconds quiet) const
{
    std::string last = tt::read_file(log_);
    auto still_since = std::chrono::steady_clock::now();
    tt::eventually(
        [&] {
            std::string now = tt::read_file(log_);
            if (now != last) {
                last = now;
                still_since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - still_since >= quiet;
        },
        10s);
    return runs();
}

void daemon_fixture::SetUp()
{
    TT_REQUIRE_ROOT();
    tt::write_wifi_state(state, {});
}

void daemon_fixture::TearDown()
{
    script.hold(false);
    if (daemon.running()) {
        daemon.signal(SIGTERM);
        EXPECT_EQ(daemon.wait(10s), 1);
    }
    EXPECT_FALSE(script.overlapped()) << "two script runs overlapped";
}

tt::process daemon_fixture::spawn(const std::vector<std::string>& extra, const std::string& script_path)
{
    std::vector<std::string> argv{tt::tamrod_bin(), "-f", "-x", script_path.empty() ? script.path() : script_path,
                                  "-i", "lo"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    tt::spawn_options opt;
    opt.env = tt::wifi_stub_env("lo", state);
    // A restrictive umask, as a service manager would give: the socket must still be 0777.
    const mode_t previous = umask(027);
    tt::process p(argv, opt);
    umask(previous);
    return p;
}

void daemon_fixture::start(const std::vector<std::string>& extra)
{
    daemon = spawn(extra);
    ASSERT_TRUE(script.wait_ended(1)) << daemon.err();
}

tt::result daemon_fixture::client(std::vector<std::string> args)
{
    args.insert(args.begin(), tt::tamrod_bin());
    return tt::run(args, 10s);
}

}  // namespace ot
