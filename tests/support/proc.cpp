#include "proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace tt {

const char* tamrod_bin() { return TAMROD_BIN; }

bool is_root() { return geteuid() == 0; }

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

stderr_capture::stderr_capture(std::string path) : path_(std::move(path))
{
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
}

stderr_capture::~stderr_capture()
{
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
}

std::string stderr_capture::text(size_t from) const
{
    std::fflush(stderr);
    const std::string all = read_file(path_);
    return from < all.size() ? all.substr(from) : std::string();
}

namespace {

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/tamrod-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

// In the child: wire the streams, apply environment and directory, exec. Never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const spawn_options& opt,
                             int out_fd, int err_fd)
{
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0)
        dup2(null_fd, 0);
    // The test runner may have signals blocked or ignored; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s)
        signal(s, SIG_DFL);
    for (const auto& [k, v] : opt.env)
        setenv(k.c_str(), v.c_str(), 1);
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
        _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

}  // namespace

result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, const spawn_options& opt)
{
    process p(argv, opt);
    result r;
    r.status = p.wait(timeout);
    if (r.status == -1) {
        p.signal(SIGKILL);
        p.wait(std::chrono::seconds(5));
        r.status = -1;
    }
    r.out = opt.stdout_file.empty() ? p.out() : read_file(opt.stdout_file);
    r.err = p.err();
    return r;
}

process::process(const std::vector<std::string>& argv, const spawn_options& opt) : dir_(make_temp_dir())
{
    std::string out_path = opt.stdout_file.empty() ? dir_ + "/stdout" : opt.stdout_file;
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0)
        throw std::runtime_error("cannot create capture files");
    pid_ = fork();
    if (pid_ == 0)
        exec_child(argv, opt, out_fd, err_fd);
    close(out_fd);
    close(err_fd);
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

process::~process()
{
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty())
        std::filesystem::remove_all(dir_);
}

process::process(process&& o) noexcept : pid_(o.pid_), status_(o.status_), dir_(std::move(o.dir_))
{
    o.pid_ = -1;
    o.dir_.clear();
}

process& process::operator=(process&& o) noexcept
{
    if (this != &o) {
        this->~process();
        pid_ = o.pid_;
        status_ = o.status_;
        dir_ = std::move(o.dir_);
        o.pid_ = -1;
        o.dir_.clear();
    }
    return *this;
}

bool process::running()
{
    if (pid_ <= 0 || status_ != -1)
        return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = decode_status(st);
        return false;
    }
    return r == 0;
}

void process::signal(int sig)
{
    if (pid_ > 0 && status_ == -1)
        kill(pid_, sig);
}

int process::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1;
    if (status_ != -1)
        return status_;
    eventually([&] { return !running(); }, timeout);
    return status_;
}

std::string process::out() const { return read_file(dir_ + "/stdout"); }
std::string process::err() const { return read_file(dir_ + "/stderr"); }

temp_dir::temp_dir() : path_(make_temp_dir()) {}

temp_dir::~temp_dir()
{
    // A hook script the daemon started just before its stop may still be writing here: a
    // destructor must not throw, so try again a few times and then leave the rest.
    std::error_code ec;
    for (int tries = 0; tries < 50 && std::filesystem::remove_all(path_, ec) == static_cast<std::uintmax_t>(-1); ++tries)
        usleep(20'000);
}

std::string temp_dir::write(const std::string& name, const std::string& content, int mode) const
{
    std::string p = file(name);
    {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f << content;
    }
    chmod(p.c_str(), static_cast<mode_t>(mode));
    return p;
}

}  // namespace tt
