#include "service/client_session.h"

#include <chrono>
#include <mutex>

orvane_client_t::~orvane_client_t() {
    orvane_client_close_pipe(&req_pipe);
    orvane_client_close_pipe(&rsp_pipe);
    if (sock != os_invalid_socket) {
        orvane_client_leave_set(this);
        os_close_socket(sock);
    }
}

void orvane_client_close_pipe(std::atomic<os_handle_t>* pipe) {
    os_handle_t handle = pipe->exchange(os_invalid_handle);
    if (handle != os_invalid_handle) {
        os_close_handle(handle);
    }
}

void orvane_client_leave_set(orvane_client_t* client) {
    if (client->master_set && !client->left_set.exchange(true)) {
        std::lock_guard<std::mutex> hold(orvane_master_set_lock);
        socket_set_remove(client->master_set.get(), client->sock);
    }
}

void orvane_client_mark_request_relay_ended(orvane_client_t* client) {
    {
        std::lock_guard<std::mutex> hold(client->end_lock);
        client->request_relay_ended = true;
    }
    client->end_done.notify_all();
}

bool orvane_client_wait_request_relay_end(orvane_client_t* client, int timeout_ms) {
    std::unique_lock<std::mutex> hold(client->end_lock);
    return client->end_done.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                     [client] { return client->request_relay_ended; });
}

bool orvane_start_client_thread(void* (*body)(void*), const orvane_client_ptr& client) {
    auto reference = std::make_unique<orvane_client_ptr>(client);
    if (!os_start_thread(body, reference.get())) {
        return false;
    }
    reference.release();  // the thread owns it now
    return true;
}

orvane_client_ptr orvane_client_from_arg(void* arg) {
    std::unique_ptr<orvane_client_ptr> reference(static_cast<orvane_client_ptr*>(arg));
    return std::move(*reference);
}
