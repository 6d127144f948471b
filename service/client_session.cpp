#include "service/client_session.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The ends of all sessions: clients leaving, relays ending, engines running.
std::mutex session_end_lock;
std::condition_variable session_end_changed;
std::vector<orvane_client_t*> running_engines;  // sessions whose engine runs now

// How long a login waits for an earlier client's engine that is ending,
// and how long for an earlier client from the same address to be seen
// leaving.
constexpr auto ending_engine_wait = std::chrono::milliseconds(3000);
constexpr auto leaving_client_wait = std::chrono::milliseconds(200);

}  // namespace

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

namespace {

bool& relay_ended(orvane_client_t* client, orvane_relay_t relay) {
    return relay == orvane_relay_t::request ? client->request_relay_ended
                                            : client->response_relay_ended;
}

}  // namespace

void orvane_client_mark_relay_ended(orvane_client_t* client, orvane_relay_t relay) {
    {
        std::lock_guard<std::mutex> hold(session_end_lock);
        relay_ended(client, relay) = true;
    }
    session_end_changed.notify_all();
}

void orvane_client_mark_left(orvane_client_t* client) {
    {
        std::lock_guard<std::mutex> hold(session_end_lock);
        client->client_left = true;
    }
    session_end_changed.notify_all();
}

bool orvane_client_wait_relay_end(orvane_client_t* client, orvane_relay_t relay, int timeout_ms) {
    std::unique_lock<std::mutex> hold(session_end_lock);
    return session_end_changed.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                        [&] { return relay_ended(client, relay); });
}

void orvane_client_engine_starts(orvane_client_t* client) {
    std::lock_guard<std::mutex> hold(session_end_lock);
    running_engines.push_back(client);
}

void orvane_client_engine_ended(orvane_client_t* client) {
    {
        std::lock_guard<std::mutex> hold(session_end_lock);
        running_engines.erase(std::remove(running_engines.begin(), running_engines.end(), client),
                              running_engines.end());
    }
    session_end_changed.notify_all();
}

bool orvane_wait_for_ending_instance(const char* engine_dir, const char* instance_exe) {
    const auto start = std::chrono::steady_clock::now();
    bool waited = false;
    std::unique_lock<std::mutex> hold(session_end_lock);
    for (;;) {
        bool running = false;
        bool connected = false;
        for (const orvane_client_t* other : running_engines) {
            if (std::strcmp(other->engine_dir, engine_dir) == 0 &&
                std::strcmp(other->instance_exe, instance_exe) == 0) {
                running = true;
                connected = connected || !other->client_left;
            }
        }
        if (!running) {
            return waited;
        }
        const auto limit = start + (connected ? leaving_client_wait : ending_engine_wait);
        if (std::chrono::steady_clock::now() >= limit) {
            return waited;  // the copy tells the rest
        }
        waited = waited || !connected;
        session_end_changed.wait_until(hold, limit);
    }
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
