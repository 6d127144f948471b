#include "service/response_relay.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "core/err_log.h"
#include "core/server_globals.h"
#include "service/client_session.h"

namespace {

constexpr std::uint32_t read_size = 8192;
// How long a client that keeps its connection open after the engine's end
// is given to close it before the server cuts it off.
constexpr int client_linger_ms = 2000;
const char id_name[] = "id name ";
constexpr std::size_t id_name_length = sizeof(id_name) - 1;

}  // namespace

std::size_t orvane_find_identification(const char* chunk, std::size_t count) {
    // Only the text before a zero byte is looked at.
    const std::string_view text(chunk, strnlen(chunk, count));
    for (std::size_t at = text.find(id_name); at != std::string_view::npos;
         at = text.find(id_name, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') {
            return at;
        }
    }
    return std::string::npos;
}

std::string orvane_rewrite_identification(const char* chunk, std::size_t count, const char* header,
                                          const char* server_ip, const char* engine_name) {
    const std::size_t at = orvane_find_identification(chunk, count);
    if (at == std::string::npos) {
        return std::string(chunk, count);
    }
    // Every byte of the chunk is still sent, also any after a zero byte.
    std::string out(chunk, at);
    out += id_name;
    out += header;
    out += server_ip;
    out += "_";
    out += engine_name;
    out += "##";
    out.append(chunk + at + id_name_length, count - at - id_name_length);
    return out;
}

void* engine_instance_response_thread(void* arg) {
    orvane_client_ptr client = orvane_client_from_arg(arg);
    const int sock_value = static_cast<int>(client->sock);
    orvane_write_err_logs_valist(">>> Entered eng_i_rsp from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    try {
        os_handle_t pipe = client->rsp_pipe.load();
        if (!os_connect_named_pipe(pipe) && os_last_error() != os_error_pipe_connected) {
            throw std::runtime_error("Unable to connect response pipe\n");
        }
        std::string buffer(read_size, '\0');
        for (;;) {
            std::uint32_t got = 0;
            bool ok = os_read_pipe(pipe, &buffer[0], read_size, &got);
            if (!ok || got == 0) {
                int error = os_last_error();
                const char* format =
                    error == os_error_broken_pipe
                        ? "ReadFile failed, client disconnected, rval(%d), rbytes(%d), GLE=%d.\n"
                        : "ReadFile failed, rval(%d), rbytes(%d), GLE=%d.\n";
                throw std::runtime_error(
                    orvane_format_text(format, ok ? 1 : 0, static_cast<int>(got), error));
            }
            // A failed send does not end the relay: the engine's end does.
            if (orvane_find_identification(buffer.data(), got) == std::string::npos) {
                os_send_all(client->sock, buffer.data(), got);
            } else {
                std::string out = orvane_rewrite_identification(
                    buffer.data(), got, qav_header, client->server_ip, client->engine_name);
                os_send_all(client->sock, out.data(), out.size());
            }
        }
    } catch (const std::exception& error) {
        orvane_client_close_pipe(&client->rsp_pipe);
        orvane_write_err_logs_valist("<<< ERROR on eng_i_rsp for Client (%s, %d) (%s, %s): %s",
                                     client->client_ip, sock_value, client->engine_name,
                                     client->server_ip, error.what());
    }
    orvane_write_err_logs_valist("<<< Exited eng_i_rsp from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    // The engine has ended and its last output is out. The client receives
    // all of it, then the end of the connection, and leaves: its request
    // relay, woken from its receive or its pipe wait, does the client's end.
    // Only the sending side is shut here: a connection closed while the
    // client still sends is reset, and a reset throws away output that the
    // client has not read yet.
    os_shutdown_send(client->sock);
    os_cancel_named_pipe(client->req_pipe.load());
    orvane_client_mark_relay_ended(client.get(), orvane_relay_t::response);
    if (!orvane_client_wait_relay_end(client.get(), orvane_relay_t::request, client_linger_ms)) {
        os_shutdown_socket(client->sock);  // a client that stays is cut off
    }
    return nullptr;
}
