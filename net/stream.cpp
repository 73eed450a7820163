// Non-blocking sockets for host loops.
#include "stream.h"

#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int STREAM_BACKLOG = 100;

bool stream_broken(int err)
{
    return err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
}

}  // namespace

int net_stream_listen(int port)
{
    if (port < 0 || port > 65535) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, STREAM_BACKLOG) != 0) {
        int why = errno;  // for the caller to tell, past the close
        close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

int net_stream_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int net_stream_accept(int listen_fd, uint32_t* address)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            // Without a descriptor the caller stays queued and the listener
            // stays readable: shut the queue's head out with a spare.
            static int spare = -1;
            if (spare >= 0) {
                close(spare);
                int refused = accept(listen_fd, nullptr, nullptr);
                if (refused >= 0) close(refused);
            }
            spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (address) *address = a.sin_addr.s_addr;
    return fd;
}

int net_stream_connect_poll(int attempt, int* fd)
{
    *fd = -1;
    NetConnection* made = nullptr;
    int result = net_connect_poll(attempt, &made);
    if (result != NET_ATTEMPT_DONE) return result;
    // The connection moves out of the transport's table into our hands.
    int own = fcntl(net_connection_fd(made), F_DUPFD_CLOEXEC, 0);
    net_close(made);
    if (own < 0 || fcntl(own, F_SETFL, fcntl(own, F_GETFL) | O_NONBLOCK) != 0) {
        if (own >= 0) close(own);
        return NET_ATTEMPT_FAILED;
    }
    *fd = own;
    return NET_ATTEMPT_DONE;
}

long net_stream_read(int fd, void* buf, std::size_t len)
{
    ssize_t n = recv(fd, buf, len, MSG_DONTWAIT);
    if (n >= 0) return long(n);
    return stream_broken(errno) ? NET_STREAM_BROKEN : NET_STREAM_LATER;
}

long net_stream_write(int fd, const void* buf, std::size_t len)
{
    ssize_t n = send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) return long(n);
    if (n == 0) return NET_STREAM_LATER;
    return stream_broken(errno) ? NET_STREAM_BROKEN : NET_STREAM_LATER;
}

void net_stream_shutdown(int fd)
{
    shutdown(fd, SHUT_WR);
}

void net_stream_close(int fd)
{
    if (fd >= 0) close(fd);
}
