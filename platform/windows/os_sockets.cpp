// Windows: the socket operations, on Windows Sockets 2.2.
//
// Every socket is created not inheritable, so engine processes hold none of
// the server's connections or ports. Sockets are created for overlapped I/O
// (as socket() does); blocking calls work on them as usual, and a send with
// a stall limit uses the overlapped form to give up after the limit.
//
// Error numbers are Windows Sockets' own (WSAGetLastError); operations that
// fail for a reason of their own store a WSA number with WSASetLastError.
// winsock2.h first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

// Larger sends are cut into pieces of this size, so that a stall limit
// measures progress rather than one huge transfer.
constexpr std::size_t send_piece_bytes = 64 * 1024;

SOCKET sock_of(os_socket_t s) {
    return static_cast<SOCKET>(s);
}

int clamped_int(std::size_t size) {
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

struct address_list_t {
    addrinfo* list = nullptr;
    address_list_t() = default;
    address_list_t(const address_list_t&) = delete;
    address_list_t& operator=(const address_list_t&) = delete;
    ~address_list_t() {
        if (list != nullptr) {
            freeaddrinfo(list);
        }
    }
};

// Owns a socket until released to the caller.
struct owned_socket_t {
    SOCKET s = INVALID_SOCKET;
    explicit owned_socket_t(SOCKET value) : s(value) {}
    owned_socket_t(const owned_socket_t&) = delete;
    owned_socket_t& operator=(const owned_socket_t&) = delete;
    ~owned_socket_t() {
        if (s != INVALID_SOCKET) {
            int saved = WSAGetLastError();
            closesocket(s);
            WSASetLastError(saved);
        }
    }
    SOCKET release() {
        SOCKET value = s;
        s = INVALID_SOCKET;
        return value;
    }
};

struct owned_event_t {
    WSAEVENT event = WSACreateEvent();
    owned_event_t() = default;
    owned_event_t(const owned_event_t&) = delete;
    owned_event_t& operator=(const owned_event_t&) = delete;
    ~owned_event_t() {
        if (event != WSA_INVALID_EVENT) {
            WSACloseEvent(event);
        }
    }
};

void not_inherited(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

SOCKET new_socket(int family, int socktype, int protocol) {
    SOCKET s = WSASocketW(family, socktype, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 lack the flag.
        s = WSASocketW(family, socktype, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET) {
            not_inherited(s);
        }
    }
    return s;
}

// One overlapped send of at most one piece, waiting at most stall_ms for it
// to be taken; the count sent, or -1 with the error number set.
long send_within(SOCKET s, const char* buf, std::size_t len, int stall_ms) {
    owned_event_t done;
    if (done.event == WSA_INVALID_EVENT) {
        return -1;
    }
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = done.event;
    WSABUF piece;
    piece.buf = const_cast<char*>(buf);
    piece.len = static_cast<ULONG>(len);
    DWORD sent = 0;
    if (WSASend(s, &piece, 1, &sent, 0, &overlapped, nullptr) == 0) {
        return static_cast<long>(sent);
    }
    if (WSAGetLastError() != WSA_IO_PENDING) {
        return -1;
    }
    bool stalled = WSAWaitForMultipleEvents(1, &done.event, FALSE, static_cast<DWORD>(stall_ms),
                                            FALSE) == WSA_WAIT_TIMEOUT;
    if (stalled) {
        CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
    }
    // The send must be over before its record and buffer go.
    DWORD flags = 0;
    BOOL ok = WSAGetOverlappedResult(s, &overlapped, &sent, TRUE, &flags);
    if (ok && sent > 0) {
        return static_cast<long>(sent);
    }
    WSASetLastError(stalled ? WSAETIMEDOUT : WSAGetLastError());
    return -1;
}

}  // namespace

int os_socket_startup() {
    WSADATA data{};
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        return rc;
    }
    if (data.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return WSAVERNOTSUPPORTED;
    }
    return 0;
}

void os_socket_cleanup() {
    WSACleanup();
}

int os_last_socket_error() {
    return WSAGetLastError();
}

bool os_resolve_passive(const char* port, os_address_t* out) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    address_list_t result;
    int rc = getaddrinfo(nullptr, port, &hints, &result.list);
    if (rc != 0 || result.list == nullptr) {
        WSASetLastError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
        return false;
    }
    const addrinfo* first = result.list;
    if (first->ai_addrlen > sizeof(out->data)) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    out->family = first->ai_family;
    out->socktype = first->ai_socktype;
    out->protocol = first->ai_protocol;
    out->length = static_cast<std::uint32_t>(first->ai_addrlen);
    std::memcpy(out->data, first->ai_addr, first->ai_addrlen);
    return true;
}

os_socket_t os_socket(int family, int socktype, int protocol) {
    SOCKET s = new_socket(family, socktype, protocol);
    return s == INVALID_SOCKET ? os_invalid_socket : static_cast<os_socket_t>(s);
}

// No SO_REUSEADDR: on Windows it would let a second socket take over a port
// that is being listened on. Rebinding a port whose old connections linger
// in TIME_WAIT succeeds without it.
int os_bind_listener(os_socket_t s, const os_address_t& address) {
    return bind(sock_of(s), reinterpret_cast<const sockaddr*>(address.data),
                static_cast<int>(address.length));
}

int os_listen(os_socket_t s, int backlog) {
    return listen(sock_of(s), backlog);
}

int os_wait_readable(const os_socket_t* socks, unsigned count, unsigned char* ready,
                     int timeout_ms) {
    if (count > FD_SETSIZE) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    if (count == 0) {
        // select refuses a call without sockets.
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    fd_set readable;
    FD_ZERO(&readable);
    for (unsigned i = 0; i < count; ++i) {
        FD_SET(sock_of(socks[i]), &readable);
    }
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    // The first argument is ignored on Windows. A closed or failed
    // connection counts as readable: its receive reports the close.
    int rc = select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    if (rc < 0) {
        return rc;
    }
    int found = 0;
    for (unsigned i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(sock_of(socks[i]), &readable) ? 1 : 0;
        found += ready[i];
    }
    return found;
}

os_socket_t os_accept(os_socket_t listen_sock, char* peer_host, std::size_t peer_size) {
    sockaddr_storage peer{};
    int length = sizeof(peer);
    SOCKET s = accept(sock_of(listen_sock), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
        return os_invalid_socket;
    }
    not_inherited(s);
    if (peer_size > 0) {
        peer_host[0] = '\0';
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, peer_host,
                    static_cast<DWORD>(peer_size > 0xffffffffu ? 0xffffffffu : peer_size), nullptr,
                    0, NI_NUMERICHOST);
        peer_host[peer_size - 1] = '\0';
    }
    return static_cast<os_socket_t>(s);
}

// A connection reset before it was accepted fails the accept alone.
os_accept_failure_t os_accept_failure_kind(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETDOWN:
        case WSAETIMEDOUT:
            return os_accept_failure_t::one_connection;
        case WSAEMFILE:
        case WSAENOBUFS:
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
    int length = sizeof(local);
    if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return;
    }
    if (inet_ntop(AF_INET, &local.sin_addr, buf, size) == nullptr) {
        buf[0] = '\0';
    }
}

os_socket_t os_connect(const char* host, const char* port, int timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    address_list_t result;
    int rc = getaddrinfo(host, port, &hints, &result.list);
    if (rc != 0 || result.list == nullptr) {
        WSASetLastError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
        return os_invalid_socket;
    }
    const addrinfo* first = result.list;
    owned_socket_t s(new_socket(first->ai_family, first->ai_socktype, first->ai_protocol));
    if (s.s == INVALID_SOCKET) {
        return os_invalid_socket;
    }
    // With a limit the connect runs without blocking and is waited for;
    // the socket blocks again afterwards.
    u_long non_blocking = timeout_ms > 0 ? 1 : 0;
    if (non_blocking != 0) {
        ioctlsocket(s.s, FIONBIO, &non_blocking);
    }
    if (connect(s.s, first->ai_addr, static_cast<int>(first->ai_addrlen)) != 0) {
        if (non_blocking == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return os_invalid_socket;  // the socket closes, keeping the error number
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s.s, &writable);
        FD_SET(s.s, &failed);
        timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        int ready = select(0, nullptr, &writable, &failed, &limit);
        if (ready == 0) {
            WSASetLastError(WSAETIMEDOUT);
            return os_invalid_socket;
        }
        if (ready < 0) {
            return os_invalid_socket;
        }
        if (FD_ISSET(s.s, &failed)) {
            int error = 0;
            int length = sizeof(error);
            getsockopt(s.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
            return os_invalid_socket;
        }
    }
    u_long blocking = 0;
    ioctlsocket(s.s, FIONBIO, &blocking);
    return static_cast<os_socket_t>(s.release());
}

void os_set_no_delay(os_socket_t s) {
    BOOL on = TRUE;
    setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof(on));
}

// Windows sends ten probes at the interval before it gives up.
void os_set_keepalive(os_socket_t s) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = 60000;
    values.keepaliveinterval = 10000;
    DWORD returned = 0;
    WSAIoctl(sock_of(s), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned,
             nullptr, nullptr);
}

long os_recv(os_socket_t s, char* buf, std::size_t len) {
    return recv(sock_of(s), buf, clamped_int(len), 0);
}

// Windows never raises a signal for a send.
long os_send(os_socket_t s, const char* buf, std::size_t len) {
    return send(sock_of(s), buf, clamped_int(len), 0);
}

bool os_send_all(os_socket_t s, const char* buf, std::size_t len, int stall_ms) {
    while (len > 0) {
        std::size_t piece = len < send_piece_bytes ? len : send_piece_bytes;
        long n = stall_ms > 0 ? send_within(sock_of(s), buf, piece, stall_ms)
                              : send(sock_of(s), buf, static_cast<int>(piece), 0);
        if (n <= 0) {
            if (n == 0) {
                WSASetLastError(WSAECONNRESET);
            }
            return false;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// shutdown alone does not always return a receive that another thread is
// blocked in; cancelling the socket's pending I/O does.
void os_shutdown_socket(os_socket_t s) {
    shutdown(sock_of(s), SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(sock_of(s)), nullptr);
}

void os_shutdown_send(os_socket_t s) {
    shutdown(sock_of(s), SD_SEND);
}

void os_close_socket(os_socket_t s) {
    closesocket(sock_of(s));
}
