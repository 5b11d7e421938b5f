// The control socket's server side, driven by the output thread: it accepts connections, reads
// each request to its end within a time budget and checks who may change state; the thread then
// carries out the complete requests it hands over. Not for other modules.
#pragma once

#include "records.h"

#include <poll.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

using out_clock = std::chrono::steady_clock;

// One complete request. The connection stays open for the reply until out_request_done.
struct out_request {
    int fd = -1;
    uint32_t command = 0;
    std::array<uint8_t, sizeof(ctl_radio_payload)> payload{};
    std::size_t length = 0;
};

// Connections still sending their request, at most.
inline constexpr std::size_t kOutMaxConnections = 16;

// The listening socket at the fixed path; false (reported) when it cannot be had, "already
// running" among the reasons. On false nothing of ours is at the path.
bool out_server_open();
// Closes the listening socket and removes its file, if it was ours.
void out_server_close();

// The thread's start and end: no connection held, no report pending.
void out_server_begin();
void out_server_end();

// Puts the listening socket (unless paused) and the held connections into fds; the count used.
std::size_t out_server_poll_set(std::span<pollfd> fds, out_clock::time_point now);
// Serves what poll found ready in the set out_server_poll_set filled.
void out_server_serve(std::span<const pollfd> fds);
// Closes connections whose budget ran out; the time the server next needs a pass, if any.
std::optional<out_clock::time_point> out_server_expire(out_clock::time_point now);
// The next complete request, in arrival order.
bool out_server_take(out_request& request);
void out_request_done(out_request& request);

// Refusals and malformed requests share one budget of log lines: true when a line may be
// written now, else it is counted for the next "more ... not reported" line.
bool out_report_admit();
