// Helpers shared by the connection code (net.cpp) and the file frames
// (frame.cpp): a monotonic clock, bounded waits on one socket and complete
// sends. Not part of the component's interface.
#pragma once

#include <cstddef>
#include <cstdint>

// Milliseconds of a clock that never jumps (CLOCK_MONOTONIC).
int64_t net_now_ms();

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or the clock passes
// `deadline_ms`. 1 when ready (also on hang-up or error, which the following
// call then reports), 0 when the time ran out, -1 when poll itself failed.
int net_wait_fd(int fd, short events, int64_t deadline_ms);

// How long a transfer may go without progress before it is given up.
int net_io_timeout_ms();

// True for the errors that mean the far end closed or reset the connection.
bool net_closed_errno(int err);

// Sends all `len` bytes of `buf` on `fd` without raising SIGPIPE, waiting
// while the socket cannot take more; gives up after net_io_timeout_ms without
// progress. `more` asks the kernel to hold a short tail for what follows.
// 0 when everything went out, -1 otherwise.
int net_send_all(int fd, const void* buf, std::size_t len, bool more);
