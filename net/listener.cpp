#include "net/listener.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/err_log.h"
#include "core/server_globals.h"

namespace {

constexpr int listen_backlog = 10;
constexpr int wait_timeout_ms = 1000;
constexpr std::size_t peer_host_size = 100;
constexpr std::size_t server_ip_size = 16;

// The failure lines of one step, for both kinds of listener.
struct step_texts_t {
    const char* management_line;  // "%d": the error number
    const char* engine_line;      // "%s": the engine name, "%d": the error number
    const char* error_text;       // the runtime error raised
};

constexpr step_texts_t socket_step{"socket() failed. (%d)\n", "Engine (%s) socket() failed. (%d)\n",
                                   "socket() failed\n"};
constexpr step_texts_t bind_step{"bind() failed. (%d)\n", "Engine (%s) bind() failed. (%d)\n",
                                 "bind() failed\n"};
constexpr step_texts_t listen_step{"listen() failed. (%d)\n", "Engine (%s) listen() failed. (%d)\n",
                                   "listen() failed\n"};
constexpr step_texts_t select_step{"select() failed. (%d)\n", "Engine (%s) select() failed. (%d)\n",
                                   "select() failed\n"};
constexpr step_texts_t accept_step{"accept() failed. (%d)\n", "Engine (%s) accept() failed. (%d)\n",
                                   "accept() failed\n"};
// Accept failures that leave the listening socket sound: the listener logs
// them and goes on.
constexpr step_texts_t accept_one_connection{
    "accept() failed for one connection, going on. (%d)\n",
    "Engine (%s) accept() failed for one connection, going on. (%d)\n", ""};
constexpr step_texts_t accept_resources{
    "accept() failed, out of descriptors or memory, trying again in a second. (%d)\n",
    "Engine (%s) accept() failed, out of descriptors or memory, trying again in a second. (%d)\n",
    ""};
// The connection waits in the queue meanwhile; trying at once would spin.
constexpr unsigned resources_pause_ms = 1000;

bool is_engine(const orvane_listener_t* listener) {
    return listener->engine_name[0] != '\0';
}

void log_step(const orvane_listener_t* listener, const step_texts_t& step, int error) {
    if (is_engine(listener)) {
        orvane_write_err_logs_valist(step.engine_line, listener->engine_name, error);
    } else {
        orvane_write_err_logs_valist(step.management_line, error);
    }
}

[[noreturn]] void fail_step(const orvane_listener_t* listener, const step_texts_t& step) {
    log_step(listener, step, os_last_socket_error());
    throw std::runtime_error(step.error_text);
}

// The accept step: the new socket joins the master set when there is room.
void accept_one(orvane_listener_t* listener, orvane_connection_handler on_connection,
                void* context) {
    char peer_host[peer_host_size];
    os_socket_t sock = os_accept(listener->listen_sock, peer_host, sizeof(peer_host));
    if (sock == os_invalid_socket) {
        // A peer's reset or a moment without descriptors must not end the
        // listener and unpublish its port for the rest of the run.
        const int error = os_last_socket_error();
        switch (os_accept_failure_kind(error)) {
            case os_accept_failure_t::one_connection:
                log_step(listener, accept_one_connection, error);
                return;
            case os_accept_failure_t::resources:
                log_step(listener, accept_resources, error);
                os_sleep_ms(resources_pause_ms);
                return;
            case os_accept_failure_t::listening_socket:
                fail_step(listener, accept_step);
        }
    }
    bool in_set;
    {
        std::lock_guard<std::mutex> hold(orvane_master_set_lock);
        in_set = socket_set_add(&listener->master_set, sock);
    }
    if (sock > listener->max_sock) {
        listener->max_sock = sock;
    }
    char server_ip[server_ip_size];
    os_local_ipv4(sock, server_ip, sizeof(server_ip));
    on_connection(context, sock, peer_host, server_ip, in_set);
}

}  // namespace

void orvane_listener_init(orvane_listener_t* listener, const char* engine_name,
                          bool wait_listen_only) {
    std::memset(static_cast<void*>(listener), 0, sizeof(*listener));
    orvane_copy_text(listener->engine_name, engine_name);
    listener->listen_sock = os_invalid_socket;
    listener->wait_listen_only = wait_listen_only;
}

void orvane_listener_open(orvane_listener_t* listener, const char* port) {
    os_address_t address{};
    // An empty port text would resolve to port 0, a port nobody could find.
    if (port[0] == '\0' || !os_resolve_passive(port, &address)) {
        int error = port[0] == '\0' ? 0 : os_last_socket_error();
        if (is_engine(listener)) {
            orvane_write_err_logs_valist("Engine (%s) port (%s) does not resolve. (%d)\n",
                                         listener->engine_name, port, error);
        } else {
            orvane_write_err_logs_valist("port (%s) does not resolve. (%d)\n", port, error);
        }
        throw std::runtime_error("getaddrinfo() failed\n");
    }
    listener->listen_sock = os_socket(address.family, address.socktype, address.protocol);
    if (listener->listen_sock == os_invalid_socket) {
        fail_step(listener, socket_step);
    }
    listener->sock_created = true;
    if (os_bind_listener(listener->listen_sock, address) != 0) {
        fail_step(listener, bind_step);
    }
    if (os_listen(listener->listen_sock, listen_backlog) < 0) {
        fail_step(listener, listen_step);
    }
    std::lock_guard<std::mutex> hold(orvane_master_set_lock);
    listener->master_set.count = 0;
    socket_set_add(&listener->master_set, listener->listen_sock);
    listener->max_sock = listener->listen_sock;
}

void orvane_listener_run(orvane_listener_t* listener, orvane_connection_handler on_connection,
                         orvane_client_handler on_client, void* context) {
    orvane_socket_set_t ready_set{};
    unsigned char ready[orvane_set_capacity];
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(orvane_master_set_lock);
            ready_set = listener->master_set;
        }
        if (listener->wait_listen_only) {
            ready_set.count = 1;
        }
        if (os_wait_readable(ready_set.handles, ready_set.count, ready, wait_timeout_ms) < 0) {
            fail_step(listener, select_step);
        }
        if (orvane_exiting.load() != 0) {
            return;
        }
        // The sweep: ready members in ascending socket order, as long as the
        // stop flag is clear. Socket value 0 is a valid descriptor here.
        os_socket_t readable[orvane_set_capacity];
        std::size_t found = 0;
        for (std::uint32_t i = 0; i < ready_set.count; ++i) {
            if (ready[i] != 0) {
                readable[found++] = ready_set.handles[i];
            }
        }
        std::sort(readable, readable + found);
        for (std::size_t i = 0; i < found; ++i) {
            if (orvane_exiting.load() != 0) {
                break;
            }
            if (readable[i] == listener->listen_sock) {
                accept_one(listener, on_connection, context);
            } else {
                on_client(context, readable[i]);
            }
        }
    }
}

void orvane_listener_close(orvane_listener_t* listener) {
    if (listener->sock_created) {
        os_close_socket(listener->listen_sock);
        listener->sock_created = false;
    }
}
