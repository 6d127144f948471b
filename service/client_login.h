// The client login: sets up the service of one accepted client on the
// engine listener's thread: two named pipes, a private copy of the engine
// executable, a claimed slot, and the client's three threads.
#pragma once

#include <memory>
#include <string>

#include "core/engine_registry.h"
#include "net/socket_set.h"
#include "platform/platform.h"

// The per-client texts a login builds.
struct orvane_login_names_t {
    std::string req_pipe_name;
    std::string rsp_pipe_name;
    std::string instance_exe;
    std::string copy_command;
};
orvane_login_names_t orvane_login_names(const engine_entry_t& entry, const char* client_ip);

// Returns 0 on every path; a client that cannot be served is refused, its
// connection closed and everything set up for it released.
int orvane_client_login(engine_entry_t* entry, os_socket_t sock, const char* client_ip,
                        const std::shared_ptr<orvane_socket_set_t>& master_set);
