// Small helpers that several modules would otherwise each write again.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

// Event counter values: below 256 wakes a thread to re-read its settings, 256 or more stops it.
inline constexpr uint64_t EV_WAKE = 1;
inline constexpr uint64_t EV_STOP = 256;

// Close a descriptor if open and mark it closed, so cleanups can run any number of times.
inline void fd_close(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Free an owned string copy and mark it gone.
inline void str_free(char*& s)
{
    std::free(s);
    s = nullptr;
}

// Replace an owned string copy; false (after perror "strdup") when memory ran out.
inline bool str_store(char*& s, const char* value)
{
    str_free(s);
    if (value == nullptr)
        return true;
    s = strdup(value);
    if (s == nullptr) {
        perror("strdup");
        return false;
    }
    return true;
}

// Create an event counter if it is not open yet; false after perror "eventfd".
inline bool evcount_open(int& fd)
{
    if (fd >= 0)
        return true;
    fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0) {
        perror("eventfd");
        return false;
    }
    return true;
}

inline void evcount_write(int fd, uint64_t value)
{
    // The result is deliberately ignored: it fails only on overflow or on a counter already closed.
    ssize_t n = write(fd, &value, sizeof value);
    (void)n;
}

// Reads the sum written since the last read; false (after perror "read eventfd") on a short read.
inline bool evcount_read(int fd, uint64_t& value)
{
    value = 0;
    if (read(fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
        perror("read eventfd");
        return false;
    }
    return true;
}

// Writes one channel message, type then payload, with one gathering write, so that messages of
// several writers never interleave; false (after perror "writev") unless it went out whole.
inline bool chan_write_message(int fd, uint32_t type, const void* payload, uint32_t length)
{
    iovec iov[2] = {{&type, sizeof type}, {const_cast<void*>(payload), length}};
    if (writev(fd, iov, length == 0 ? 1 : 2) != static_cast<ssize_t>(length + sizeof type)) {
        perror("writev");
        return false;
    }
    return true;
}

// Channel messages that belong together, laid out as the reader takes them, to go out in one
// write: a pipe takes a write of up to PIPE_BUF bytes whole, so a reader that finds the first
// message of a batch finds the rest behind it, and a thread that reads until the pipe is empty
// reads the batch in one pass.
struct chan_batch {
    struct entry {
        uint32_t type;
        uint32_t offset;  // of the payload in data
        uint32_t length;
    };
    static constexpr std::size_t kMaxEntries = 32;
    std::array<std::byte, PIPE_BUF> data;
    std::array<entry, kMaxEntries> entries;
    uint32_t used = 0;
    uint32_t count = 0;
};

// Appends one message; false, with nothing appended, when the batch has no room for it.
inline bool chan_batch_add(chan_batch& b, uint32_t type, const void* payload, uint32_t length)
{
    if (b.count == chan_batch::kMaxEntries || sizeof type + length > b.data.size() - b.used)
        return false;
    std::memcpy(b.data.data() + b.used, &type, sizeof type);
    if (length != 0)
        std::memcpy(b.data.data() + b.used + sizeof type, payload, length);
    b.entries[b.count++] = {type, static_cast<uint32_t>(b.used + sizeof type), length};
    b.used += static_cast<uint32_t>(sizeof type + length);
    return true;
}

inline void chan_batch_clear(chan_batch& b) { b.used = b.count = 0; }

// Writes the batch with one write; false (after perror "write") unless it went out whole.
inline bool chan_write_batch(int fd, const chan_batch& b)
{
    if (write(fd, b.data.data(), b.used) != static_cast<ssize_t>(b.used)) {
        perror("write");
        return false;
    }
    return true;
}

// Opens a channel pipe if it is not open yet; false after perror "pipe2". Both ends are
// close-on-exec so that no script inherits them.
inline bool chan_open(int& read_end, int& write_end)
{
    if (read_end >= 0)
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        perror("pipe2");
        return false;
    }
    read_end = fds[0];
    write_end = fds[1];
    return true;
}

// Creates a thread with default attributes; false (after perror "pthread_create") on failure.
inline bool thread_start(pthread_t& thread, void* (*body)(void*))
{
    if (int err = pthread_create(&thread, nullptr, body, nullptr); err != 0) {
        errno = err;
        perror("pthread_create");
        return false;
    }
    return true;
}

// A reporting module's thread: the event counter it waits on beside its socket, the thread and
// whether it runs. The counter is opened by the module's init and closed by its cleanup.
struct module_thread {
    int counter = -1;
    pthread_t thread{};
    bool running = false;
};

inline bool module_thread_open(module_thread& t) { return evcount_open(t.counter); }

// Starts body on the module's thread; false (after perror "pthread_create") on failure.
inline bool module_thread_start(module_thread& t, void* (*body)(void*))
{
    if (!thread_start(t.thread, body))
        return false;
    t.running = true;
    return true;
}

// Joins the thread if it runs; the caller has written the value that ends it.
inline void module_thread_join(module_thread& t)
{
    if (t.running) {
        pthread_join(t.thread, nullptr);
        t.running = false;
    }
}

// Writes value to the counter, then joins: for threads that end on a counter write alone.
inline void module_thread_stop(module_thread& t, uint64_t value)
{
    evcount_write(t.counter, value);
    module_thread_join(t);
}

inline void module_thread_close(module_thread& t) { fd_close(t.counter); }

// Reads one channel record of exactly n bytes with one read; false (after perror "read") on
// anything else. Records are written whole by one gathering write, so a pipe never splits one.
inline bool chan_read_exact(int fd, void* buf, size_t n)
{
    if (read(fd, buf, n) != static_cast<ssize_t>(n)) {
        perror("read");
        return false;
    }
    return true;
}

// Every thread the daemon creates keeps all signals blocked, so only the main thread's wait sees them.
inline void block_all_signals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// The reporting threads' loop: wait without time-out on a stop counter and a socket.
// Returns true when the counter is readable (it wins over the socket), false when the socket is.
inline bool wait_counter_or_socket(int counter, int sock)
{
    for (;;) {
        pollfd fds[2] = {{counter, POLLIN, 0}, {sock, POLLIN, 0}};
        if (poll(fds, 2, -1) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            return true;
        if (fds[1].revents & (POLLIN | POLLERR))
            return false;
    }
}
