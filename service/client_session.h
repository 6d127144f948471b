// One connected client's service, shared by its three threads (request
// relay, response relay, engine process runner).
//
// Each thread works from the copies kept here, never from the registry slot,
// so a later client that claims the same slot changes nothing for them. The
// client's socket is closed exactly once, when the last thread lets go of
// the session: until then no other connection can be handed the same
// descriptor value, so no thread ever sends or receives on a stranger's
// connection.
#pragma once

#include <atomic>
#include <memory>

#include "core/engine_registry.h"
#include "core/text.h"
#include "net/socket_set.h"
#include "platform/platform.h"

struct orvane_client_t {
    engine_instance_t* slot = nullptr;  // the claimed slot, freed by the request relay
    os_socket_t sock = os_invalid_socket;
    char client_ip[orvane_text_size] = "";
    char server_ip[orvane_text_size] = "";
    char engine_name[orvane_text_size] = "";
    char engine_dir[orvane_text_size] = "";
    char engine_args[orvane_text_size] = "";
    char instance_exe[orvane_text_size] = "";
    char req_pipe_name[orvane_text_size] = "";
    char rsp_pipe_name[orvane_text_size] = "";
    std::atomic<os_handle_t> req_pipe{os_invalid_handle};
    std::atomic<os_handle_t> rsp_pipe{os_invalid_handle};
    // The engine listener's master set; the pointer also keeps it alive.
    std::shared_ptr<orvane_socket_set_t> master_set;
    std::atomic<bool> left_set{false};  // taken out of the master set
    // Set by each relay at its end; guarded by the lock of the sessions'
    // ends (client_session.cpp).
    bool request_relay_ended = false;
    bool response_relay_ended = false;
    bool client_left = false;  // the request relay has begun the client's end

    orvane_client_t() = default;
    orvane_client_t(const orvane_client_t&) = delete;
    orvane_client_t& operator=(const orvane_client_t&) = delete;
    ~orvane_client_t();
};

using orvane_client_ptr = std::shared_ptr<orvane_client_t>;

// Closes a pipe handle of the session once; later calls do nothing.
void orvane_client_close_pipe(std::atomic<os_handle_t>* pipe);
// Takes the socket out of the listener's master set (once).
void orvane_client_leave_set(orvane_client_t* client);
// The relays' ends. The request relay marks its end when it has done the
// client's end; the response relay when the engine's output has ended and
// all of it is sent.
enum class orvane_relay_t { request, response };
void orvane_client_mark_relay_ended(orvane_client_t* client, orvane_relay_t relay);
// Waits at most timeout_ms for the relay's end; true when it came.
bool orvane_client_wait_relay_end(orvane_client_t* client, orvane_relay_t relay, int timeout_ms);
// The request relay's first step of the client's end: the client has left
// (or is sent away), whatever its engine still does.
void orvane_client_mark_left(orvane_client_t* client);

// The process runner brackets the run of the client's engine with these.
void orvane_client_engine_starts(orvane_client_t* client);
void orvane_client_engine_ended(orvane_client_t* client);
// For a login, before it copies the engine to the instance file: whether
// an earlier client's engine still runs from that file, and if so waits,
// bounded, until it has ended. A client that has just left (a GUI that
// restarts its engine connects again at once) leaves its engine ending, and
// a copy onto it would fail. A client still connected is given a moment to
// be seen leaving; if it stays, its engine stays and the copy fails as it
// should. True when the login waited for an ending engine.
bool orvane_wait_for_ending_instance(const char* engine_dir, const char* instance_exe);

// Starts a thread with its own reference to the session; false on failure.
bool orvane_start_client_thread(void* (*body)(void*), const orvane_client_ptr& client);
// In a thread body: takes over the reference passed by orvane_start_client_thread.
orvane_client_ptr orvane_client_from_arg(void* arg);
