#include "control/management.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "control/engine_report.h"
#include "control/engine_scan.h"
#include "core/err_log.h"
#include "net/listener.h"

namespace {

constexpr char management_port[] = "53350";
constexpr std::size_t command_size = 1024;

void close_connection(orvane_listener_t* listener, os_socket_t sock) {
    socket_set_remove(&listener->master_set, sock);
    os_close_socket(sock);
}

void on_connection(void*, os_socket_t sock, const char* peer_host, const char* server_ip,
                   bool in_set) {
    orvane_write_err_logs_valist("[MGMT] Received new connection from %s via %s\n", peer_host,
                                 server_ip);
    if (!in_set) {
        // The set holds 63 connections; one more would never be read.
        orvane_write_err_logs_valist("[MGMT] too many connections, closing socket (%d)\n",
                                     static_cast<int>(sock));
        os_close_socket(sock);
    }
}

void on_client(void* context, os_socket_t sock) {
    auto* listener = static_cast<orvane_listener_t*>(context);
    // One byte more than a receive takes, so a full receive stays terminated.
    char command[command_size + 1] = {};
    long received = os_recv(sock, command, command_size);
    if (received <= 0) {
        orvane_write_err_logs_valist("[MGMT] closing socket (%d)\n", static_cast<int>(sock));
        close_connection(listener, sock);
        return;
    }
    orvane_write_err_logs_valist("[MGMT] received cmd=%s\n", command);
    bool delivered = true;
    if (std::strcmp(command, "scan") == 0) {
        delivered = orvane_scan_and_load_engines(sock, 1);
    } else if (std::strcmp(command, "query") == 0) {
        delivered = orvane_query_engines(sock);
    }
    if (!delivered) {
        orvane_write_err_logs_valist(
            "[MGMT] reply not taken for 10 seconds or connection lost, closing socket (%d)\n",
            static_cast<int>(sock));
        close_connection(listener, sock);
    }
}

}  // namespace

void* orvane_management_thread(void*) {
    orvane_write_err_logs_valist(">>> Entered orvane_management_thread\n");
    orvane_management_socket();
    orvane_write_err_logs_valist("<<< Exited orvane_management_thread\n");
    return nullptr;
}

int orvane_management_socket() {
    orvane_listener_t listener;
    orvane_listener_init(&listener, "", false);
    orvane_write_err_logs_valist(">>> Creating mgmt listening socket...\n");
    try {
        orvane_listener_open(&listener, management_port);
        std::printf("[MGMT] waiting for connections...\n");
        std::fflush(stdout);
        orvane_listener_run(&listener, on_connection, on_client, &listener);
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on mgmt socket: %s", error.what());
    }
    orvane_write_err_logs_valist("<<< Closing mgmt listening socket...\n");
    orvane_listener_close(&listener);
    return 0;
}
