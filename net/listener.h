// A listener: a passive IPv4 TCP socket, its master set (the listening
// socket first, then the accepted connections it keeps), and a wait loop of
// one-second waits that watches the stop flag. The management listener and
// every engine listener are built from it; engine_name selects the log texts.
#pragma once

#include "core/text.h"
#include "net/socket_set.h"
#include "platform/platform.h"

struct orvane_listener_t {
    char engine_name[orvane_text_size];  // empty for the management listener
    os_socket_t listen_sock;             // the listening socket
    bool sock_created;                   // the close step closes only a created socket
    orvane_socket_set_t master_set;      // listening socket first, then connections
    os_socket_t max_sock;                // highest socket value seen; never falls
    // An engine listener waits on its listening socket only: its clients'
    // sockets belong to their relays, which read and close them.
    bool wait_listen_only;
};

// An accepted connection: the new socket, the peer's numeric address, the
// local address the peer reached, and whether the master set took it.
using orvane_connection_handler = void (*)(void* context, os_socket_t sock, const char* peer_host,
                                           const char* server_ip, bool in_set);
// A member of the master set (other than the listening socket) is readable.
using orvane_client_handler = void (*)(void* context, os_socket_t sock);

// Resets the state; engine_name may be empty.
void orvane_listener_init(orvane_listener_t* listener, const char* engine_name,
                          bool wait_listen_only);
// Creates, binds and starts the listening socket and enters it in the master
// set. Raises std::runtime_error with the step's text after its log line.
void orvane_listener_open(orvane_listener_t* listener, const char* port);
// Wait cycles until the stop flag is seen; raises on a failed wait or accept.
void orvane_listener_run(orvane_listener_t* listener, orvane_connection_handler on_connection,
                         orvane_client_handler on_client, void* context);
// Closes the listening socket if it was created.
void orvane_listener_close(orvane_listener_t* listener);
