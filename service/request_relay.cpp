#include "service/request_relay.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "core/err_log.h"
#include "service/client_session.h"

namespace {

constexpr std::size_t receive_size = 1024;
// How long the client's input is read and dropped, at most, once the engine
// takes no more of it.
constexpr int drain_limit_ms = 5000;
// How long the engine's last output is waited for once the client's input
// has ended.
constexpr int output_wait_ms = 2000;

// The message as text for the log: up to its first zero byte, and ending in
// a newline (a piece of a long command may lack one), so that the next line
// of the log starts on a line of its own.
std::string message_text(const std::string& message) {
    std::string text(message.c_str());
    if (text.empty() || text.back() != '\n') {
        text.push_back('\n');
    }
    return text;
}

// Reads and drops what the client sends until it closes, its connection is
// shut down or fails, or the limit passes.
void drain_client(os_socket_t sock, int limit_ms) {
    const std::uint64_t end = os_monotonic_us() + static_cast<std::uint64_t>(limit_ms) * 1000;
    char scratch[receive_size];
    for (std::uint64_t now = os_monotonic_us(); now < end; now = os_monotonic_us()) {
        unsigned char ready = 0;
        const int wait_ms = static_cast<int>((end - now + 999) / 1000);
        if (os_wait_readable(&sock, 1, &ready, wait_ms) <= 0 ||
            os_recv(sock, scratch, sizeof(scratch)) <= 0) {
            return;
        }
    }
}

}  // namespace

std::string orvane_frame_request(orvane_request_framer_t* framer, const char* bytes, long count,
                                 bool filled_buffer) {
    std::string out(bytes, static_cast<std::size_t>(count));
    if (!framer->in_long_command) {
        if (!filled_buffer) {
            out.push_back('\n');
        } else {
            framer->in_long_command = out.back() != '\n';
        }
        return out;
    }
    // Inside a long command: raw up to and including the client's newline.
    std::size_t newline = out.find('\n');
    if (newline == std::string::npos) {
        return out;
    }
    framer->in_long_command = false;
    std::string rest = out.substr(newline + 1);
    out.resize(newline + 1);
    if (!rest.empty()) {
        // What follows the newline in this receive is framed afresh.
        out += orvane_frame_request(framer, rest.data(), static_cast<long>(rest.size()),
                                    filled_buffer);
    }
    return out;
}

void* engine_instance_request_thread(void* arg) {
    orvane_client_ptr client = orvane_client_from_arg(arg);
    const int sock_value = static_cast<int>(client->sock);
    orvane_write_err_logs_valist(">>> Entered eng_i_req from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    bool connected = false;
    bool engine_input_lost = false;
    try {
        os_handle_t pipe = client->req_pipe.load();
        if (!os_connect_named_pipe(pipe) && os_last_error() != os_error_pipe_connected) {
            throw std::runtime_error("Unable to connect request pipe\n");
        }
        connected = true;
        const std::string log_head = std::string("Client (") + client->client_ip + ", " +
                                     std::to_string(sock_value) + ", " + client->engine_name +
                                     ", " + client->server_ip + ") received UCI cmd >> ";
        orvane_request_framer_t framer;
        for (;;) {
            char buffer[receive_size] = {};
            long received = os_recv(client->sock, buffer, sizeof(buffer));
            if (received < 1) {
                break;
            }
            std::string message = orvane_frame_request(
                &framer, buffer, received, static_cast<std::size_t>(received) == receive_size);
            // The engine gets the command before the log line is written, so
            // the engine works while the line goes to the file. The log shows
            // the same lines in the same order.
            std::uint32_t written = 0;
            bool ok = os_write_pipe(pipe, message.data(),
                                    static_cast<std::uint32_t>(message.size()), &written);
            int error = os_last_error();
            orvane_write_err_logs(log_head + message_text(message));
            if (!ok || written != message.size()) {
                engine_input_lost = true;
                throw std::runtime_error(orvane_format_text(
                    "WriteFile failed, rval(%d), rbytes(%d), wbytes(%d), GLE=%d.\n", ok ? 1 : 0,
                    static_cast<int>(message.size()), static_cast<int>(written), error));
            }
        }
    } catch (const std::exception& error) {
        if (connected) {
            orvane_client_close_pipe(&client->req_pipe);
        }
        orvane_write_err_logs_valist("<<< ERROR on eng_i_req for Client (%s, %d) (%s, %s): %s",
                                     client->client_ip, sock_value, client->engine_name,
                                     client->server_ip, error.what());
        if (engine_input_lost) {
            // The engine's last output may still be on its way to the
            // client. Closing while the client sends would reset the
            // connection under it, so the client's input is dropped until
            // it leaves on the end that the response relay gives it.
            drain_client(client->sock, drain_limit_ms);
        }
    }
    // The client's end, also after a failure: a client whose engine is gone
    // is disconnected and its slot freed instead of being held for ever.
    orvane_client_mark_left(client.get());
    orvane_write_err_logs_valist("Closing (%d) from client(%s) for engine(%s)\n", sock_value,
                                 client->client_ip, client->engine_name);
    // The engine sees the end of its input first. What it still writes then
    // reaches a client that has only ended its sending side (a script that
    // pipes its commands in) before the connection is shut down.
    orvane_client_close_pipe(&client->req_pipe);
    orvane_client_wait_relay_end(client.get(), orvane_relay_t::response, output_wait_ms);
    orvane_client_leave_set(client.get());
    os_shutdown_socket(client->sock);
    orvane_write_err_logs_valist("<<< Exited eng_i_req from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    orvane_release_instance(client->slot);
    orvane_client_mark_relay_ended(client.get(), orvane_relay_t::request);
    return nullptr;
}
