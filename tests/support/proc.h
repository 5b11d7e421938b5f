// Running the real executable (and other programs) from tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tt {

// Path of the built tamrod executable.
const char* tamrod_bin();

struct result {
    int status = -1;       // exit status, or 128+signal, or -1 when it had to be killed
    std::string out;       // standard output
    std::string err;       // standard error
};

struct spawn_options {
    std::map<std::string, std::string> env;  // added to (or replacing in) the test's environment
    std::string cwd;                          // empty: the test's own directory
    std::string stdout_file;                  // empty: captured through a pipe
};

// Runs to completion (killed after the time-out) and captures both streams.
result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(10),
           const spawn_options& opt = {});

// A background process with its standard streams captured into files.
class process {
public:
    process() = default;
    process(const std::vector<std::string>& argv, const spawn_options& opt = {});
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    process(process&& o) noexcept;
    process& operator=(process&& o) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Waits for the end; -1 after the time-out (the process is then left running).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string dir_;
};

// Creates a fresh temporary directory; removed with its contents by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file (mode given) and returns its path.
    std::string write(const std::string& name, const std::string& content, int mode = 0644) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

// Polls a condition every 10 ms until it holds or the time runs out.
template <typename F>
bool eventually(F cond, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts{0, 10'000'000};
        nanosleep(&ts, nullptr);
    }
}

bool is_root();

// Standard error of this process sent to a write-only file while the object lives, as a service
// manager or a shell redirection leaves it (glibc's perror then fails to reopen it for update and
// changes errno on the way). Create it before the threads under test start and end it after they
// were joined, so the descriptor swap never races their writes.
class stderr_capture {
public:
    explicit stderr_capture(std::string path);
    ~stderr_capture();
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    // What was written from byte `from` on; mark() is where the next write begins.
    std::string text(size_t from = 0) const;
    size_t mark() const { return text().size(); }

private:
    std::string path_;
    int saved_ = -1;
};

}  // namespace tt

// Skips the current test, with the reason, unless running as root.
#define TT_REQUIRE_ROOT()                                                   \
    do {                                                                    \
        if (!tt::is_root())                                                 \
            GTEST_SKIP() << "needs root (raw sockets, /dev/tamctl)";         \
    } while (0)
