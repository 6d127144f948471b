// Linux: the socket operations, on BSD sockets.
//
// Every socket is created close-on-exec, so engine processes hold none of
// the server's connections or ports. The readiness wait is poll, which has
// no limit on descriptor numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

thread_local int last_socket_error = 0;

// Full tables: 2048 clients of three descriptors, the listeners, the
// management connections, and room for engines being started.
constexpr rlim_t wanted_descriptors = 8192;

// Idle connections: the first probe after a minute of silence, then one
// every 10 s; six unanswered probes end the connection (two minutes).
const int keepalive_idle_s = 60;
const int keepalive_interval_s = 10;
const int keepalive_probes = 6;

int fd_of(os_socket_t s) {
    return static_cast<int>(s);
}

void save_errno() {
    last_socket_error = errno;
}

}  // namespace

int os_socket_startup() {
    // Each client holds a socket and two pipe ends. The usual soft limit of
    // 1024 descriptors would make an accept fail, which ends its listener,
    // long before the tables are full (32 engines of 64 clients each). The
    // soft limit is raised towards the hard one; engines inherit it.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted_descriptors) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY
                             ? wanted_descriptors
                             : std::min<rlim_t>(limit.rlim_max, wanted_descriptors);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return 0;
}

void os_socket_cleanup() {}

int os_last_socket_error() {
    return last_socket_error;
}

bool os_resolve_passive(const char* port, os_address_t* out) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(nullptr, port, &hints, &list);
    if (rc != 0 || list == nullptr) {
        last_socket_error = rc;
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
    if (list->ai_addrlen > sizeof(out->data)) {
        last_socket_error = EINVAL;
        return false;
    }
    out->family = list->ai_family;
    out->socktype = list->ai_socktype;
    out->protocol = list->ai_protocol;
    out->length = static_cast<std::uint32_t>(list->ai_addrlen);
    std::memcpy(out->data, list->ai_addr, list->ai_addrlen);
    return true;
}

os_socket_t os_socket(int family, int socktype, int protocol) {
    int fd = socket(family, socktype | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        save_errno();
        return os_invalid_socket;
    }
    return static_cast<os_socket_t>(fd);
}

int os_bind_listener(os_socket_t s, const os_address_t& address) {
    // Rebinding a port whose old connections linger in TIME_WAIT succeeds, as
    // on Windows; a port held by another listening socket still fails.
    int on = 1;
    setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    int rc = bind(fd_of(s), reinterpret_cast<const sockaddr*>(address.data), address.length);
    if (rc != 0) {
        save_errno();
    }
    return rc;
}

int os_listen(os_socket_t s, int backlog) {
    int rc = listen(fd_of(s), backlog);
    if (rc < 0) {
        save_errno();
    }
    return rc;
}

int os_wait_readable(const os_socket_t* socks, unsigned count, unsigned char* ready,
                     int timeout_ms) {
    std::vector<pollfd> fds(count);
    for (unsigned i = 0; i < count; ++i) {
        fds[i].fd = fd_of(socks[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    int rc;
    do {
        rc = poll(fds.data(), count, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        save_errno();
        return rc;
    }
    int found = 0;
    for (unsigned i = 0; i < count; ++i) {
        // A closed or failed connection counts as readable: its receive
        // reports the close.
        ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
        found += ready[i];
    }
    return found;
}

os_socket_t os_accept(os_socket_t listen_sock, char* peer_host, std::size_t peer_size) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    int fd;
    do {
        fd = accept4(fd_of(listen_sock), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        save_errno();
        return os_invalid_socket;
    }
    if (peer_size > 0) {
        peer_host[0] = '\0';
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, peer_host,
                    static_cast<socklen_t>(peer_size), nullptr, 0, NI_NUMERICHOST);
    }
    return static_cast<os_socket_t>(fd);
}

// The errors that accept(2) passes on from the pending connection, and
// those of a process or system short of descriptors or memory.
os_accept_failure_t os_accept_failure_kind(int error) {
    switch (error) {
        case ECONNABORTED:
        case ECONNRESET:
        case EPROTO:
        case EPERM:
        case ETIMEDOUT:
        case ENETDOWN:
        case ENETUNREACH:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case EOPNOTSUPP:
            return os_accept_failure_t::one_connection;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return os_accept_failure_t::resources;
        default:
            return os_accept_failure_t::listening_socket;
    }
}

void os_local_ipv4(os_socket_t s, char* buf, std::size_t size) {
    if (size == 0) {
        return;
    }
    buf[0] = '\0';
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return;
    }
    inet_ntop(AF_INET, &local.sin_addr, buf, static_cast<socklen_t>(size));
}

os_socket_t os_connect(const char* host, const char* port, int timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, port, &hints, &list);
    if (rc != 0 || list == nullptr) {
        last_socket_error = rc;
        return os_invalid_socket;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
    int fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (fd < 0) {
        save_errno();
        return os_invalid_socket;
    }
    // With a limit the connect runs without blocking and is waited for;
    // the socket blocks again afterwards.
    const int flags = fcntl(fd, F_GETFL);
    if (timeout_ms > 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    int error = 0;
    if (connect(fd, list->ai_addr, list->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS && timeout_ms > 0) {
            pollfd one{fd, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&one, 1, timeout_ms);
            } while (ready < 0 && errno == EINTR);
            socklen_t length = sizeof(error);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        last_socket_error = error;
        close(fd);
        return os_invalid_socket;
    }
    fcntl(fd, F_SETFL, flags);
    return static_cast<os_socket_t>(fd);
}

void os_set_no_delay(os_socket_t s) {
    int on = 1;
    setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void os_set_keepalive(os_socket_t s) {
    int on = 1;
    setsockopt(fd_of(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof(keepalive_idle_s));
    setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_s,
               sizeof(keepalive_interval_s));
    setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPCNT, &keepalive_probes, sizeof(keepalive_probes));
}

long os_recv(os_socket_t s, char* buf, std::size_t len) {
    ssize_t n;
    do {
        n = recv(fd_of(s), buf, len, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        save_errno();
    }
    return static_cast<long>(n);
}

long os_send(os_socket_t s, const char* buf, std::size_t len) {
    ssize_t n;
    do {
        n = send(fd_of(s), buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        save_errno();
    }
    return static_cast<long>(n);
}

bool os_send_all(os_socket_t s, const char* buf, std::size_t len, int stall_ms) {
    while (len > 0) {
        if (stall_ms > 0) {
            pollfd one{fd_of(s), POLLOUT, 0};
            int rc;
            do {
                rc = poll(&one, 1, stall_ms);
            } while (rc < 0 && errno == EINTR);
            if (rc <= 0) {
                last_socket_error = rc == 0 ? ETIMEDOUT : errno;
                return false;
            }
        }
        ssize_t n;
        do {
            n = send(fd_of(s), buf, len, MSG_NOSIGNAL | (stall_ms > 0 ? MSG_DONTWAIT : 0));
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && stall_ms > 0) {
            continue;
        }
        if (n <= 0) {
            save_errno();
            return false;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

void os_shutdown_socket(os_socket_t s) {
    shutdown(fd_of(s), SHUT_RDWR);
}

void os_shutdown_send(os_socket_t s) {
    shutdown(fd_of(s), SHUT_WR);
}

void os_close_socket(os_socket_t s) {
    close(fd_of(s));
}
