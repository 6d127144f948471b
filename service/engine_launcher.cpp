#include "service/engine_launcher.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/engine_registry.h"
#include "core/err_log.h"
#include "net/listener.h"
#include "service/client_login.h"

namespace {

// What the listener's handlers need. The listener state is shared with the
// clients it accepted: their slots point at its master set, which must stay
// valid after the listener has ended.
struct engine_listener_context_t {
    std::shared_ptr<orvane_listener_t> listener;
    engine_entry_t* entry;
};

void on_connection(void* context, os_socket_t sock, const char* peer_host, const char* server_ip,
                   bool) {
    auto* engine = static_cast<engine_listener_context_t*>(context);
    orvane_write_err_logs_valist("Engine (%s)(ServIP:%s) received new connection from %s\n",
                                 engine->entry->name, server_ip, peer_host);
    std::shared_ptr<orvane_socket_set_t> master_set(engine->listener,
                                                    &engine->listener->master_set);
    orvane_client_login(engine->entry, sock, peer_host, master_set);
}

// The client's own threads read its socket; the listener does nothing.
void on_client(void*, os_socket_t) {}

}  // namespace

void* engine_launch_thread(void* arg) {
    std::unique_ptr<engine_entry_t> record(static_cast<engine_entry_t*>(arg));
    try {
        const char separator = os_path_separator();
        std::string dir = std::string(record->dir) + separator + record->name + separator;
        orvane_write_err_logs_valist(">>> Entered eng_launch (%s)\n", record->name);
        if (dir.size() >= orvane_text_size) {
            orvane_write_err_logs_valist(
                "Engine (%s) directory is longer than 255 characters, not published\n",
                record->name);
        } else if (orvane_find_engine(record->name) != 0) {
            orvane_write_err_logs_valist("Engine (%s) exist!\n", record->name);
        } else {
            orvane_write_err_logs_valist("Launching new engine (%s)\n", record->name);
            orvane_engine_socket(dir.c_str(), record->exe, record->port, record->name,
                                 record->args);
        }
        orvane_write_err_logs_valist("<<< Exited eng_launch for engine(%s)\n", record->name);
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on eng_launch (%s): %s", record->name,
                                     error.what());
    }
    return nullptr;
}

int orvane_engine_socket(const char* dir, const char* exe, const char* port, const char* name,
                         const char* args) {
    engine_listener_context_t context{std::make_shared<orvane_listener_t>(), nullptr};
    orvane_listener_t* listener = context.listener.get();
    orvane_listener_init(listener, name, true);
    orvane_write_err_logs_valist(">>> Engine (%s) creating listening socket...\n", name);
    try {
        orvane_listener_open(listener, port);
        std::printf("Engine (%s) waiting for connections...\n", name);
        std::fflush(stdout);
        context.entry = orvane_add_new_engine(dir, exe, port, name, args);
        if (context.entry == nullptr) {
            orvane_write_err_logs_valist("Unable to add new engine for %s\n", name);
            throw std::runtime_error("add engine failed\n");
        }
        orvane_listener_run(listener, on_connection, on_client, &context);
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on engine socket: %s", error.what());
    }
    orvane_listener_close(listener);
    orvane_write_err_logs_valist("<<< Engine (%s) closing listening socket...\n", name);
    return 0;
}
