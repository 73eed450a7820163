// Non-blocking sockets for a host loop that waits in one place (poll, or
// the toolkit's socket notifiers): a listener, accepting, connecting by
// attempts, and reads and writes that never wait. Descriptors are plain ints
// owned by the caller, who closes them with net_stream_close.
#pragma once

#include <cstddef>
#include <cstdint>

// Listens on 0.0.0.0:`port` (0 lets the system choose), SO_REUSEADDR,
// non-blocking. The descriptor, or -1.
int net_stream_listen(int port);
// The port a listening descriptor is bound to; 0 on failure.
int net_stream_port(int fd);
// One waiting caller, non-blocking, with its IPv4 address (first octet in
// the lowest byte). -1 when none waits (or no descriptor is left: the caller
// is then taken off the queue and refused, so the listener does not spin).
int net_stream_accept(int listen_fd, uint32_t* address);

// One step of an attempt made with net_connect_start: NET_ATTEMPT_WAITING,
// NET_ATTEMPT_FAILED, or NET_ATTEMPT_DONE with a non-blocking descriptor in *fd.
int net_stream_connect_poll(int attempt, int* fd);

// What a read or write did besides moving bytes.
enum { NET_STREAM_LATER = -1, NET_STREAM_BROKEN = -2 };
// Bytes read (> 0), 0 when the far end closed, NET_STREAM_LATER or NET_STREAM_BROKEN.
long net_stream_read(int fd, void* buf, std::size_t len);
// Bytes written (> 0), NET_STREAM_LATER or NET_STREAM_BROKEN. Never raises SIGPIPE.
long net_stream_write(int fd, const void* buf, std::size_t len);
// Ends our direction: what was written is delivered, then the end mark.
void net_stream_shutdown(int fd);
void net_stream_close(int fd);
