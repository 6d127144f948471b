// agentctl: the operator's management client. Sends "scan" or "query" to a
// running server the way it expects them (the bare word, no line end),
// prints the reply, and ends on the reply's closing mark.
//
//   agentctl scan|query [host] [port] [--timeout=SECONDS]
//
// Exit status: 0 when the closing mark arrived, 1 when the server closed the
// connection or the time-out passed first, 2 for a usage error, 3 when the
// server cannot be reached.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

const char scan_mark[] = "scanisdone";  // followed by a zero byte
const char query_mark[] = "<<<querydone\n\n";

int usage() {
    std::fprintf(stderr, "usage: agentctl scan|query [host] [port] [--timeout=SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    std::string command = argv[1];
    if (command != "scan" && command != "query") {
        return usage();
    }
    std::string host = "127.0.0.1";
    std::string port = "53350";
    int timeout_s = 120;
    int position = 0;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--timeout=", 0) == 0) {
            // Whole seconds, at most a day, so the wait below cannot overflow.
            char* end = nullptr;
            long value = std::strtol(arg.c_str() + 10, &end, 10);
            if (end == arg.c_str() + 10 || *end != '\0' || value <= 0 || value > 86400) {
                return usage();
            }
            timeout_s = static_cast<int>(value);
        } else if (position == 0) {
            host = arg;
            ++position;
        } else if (position == 1) {
            port = arg;
            ++position;
        } else {
            return usage();
        }
    }
    os_socket_startup();
    // The time-out covers the whole exchange, the connect too.
    const std::uint64_t end = os_monotonic_us() + static_cast<std::uint64_t>(timeout_s) * 1000000u;
    os_socket_t sock = os_connect(host.c_str(), port.c_str(), timeout_s * 1000);
    if (sock == os_invalid_socket) {
        std::fprintf(stderr, "agentctl: cannot reach the server at %s port %s (error %d)\n",
                     host.c_str(), port.c_str(), os_last_socket_error());
        return 3;
    }
    if (!os_send_all(sock, command.data(), command.size(), timeout_s * 1000)) {
        std::fprintf(stderr, "agentctl: sending the command failed (error %d)\n",
                     os_last_socket_error());
        os_close_socket(sock);
        return 3;
    }
    const std::string mark =
        command == "scan" ? std::string(scan_mark, sizeof(scan_mark)) : std::string(query_mark);
    std::string reply;
    int status = 1;
    while (reply.find(mark) == std::string::npos) {
        std::uint64_t now = os_monotonic_us();
        if (now >= end) {
            std::fprintf(stderr, "agentctl: no complete reply within %d seconds\n", timeout_s);
            break;
        }
        unsigned char ready = 0;
        int wait_ms = static_cast<int>((end - now) / 1000u) + 1;
        int waited = os_wait_readable(&sock, 1, &ready, wait_ms);
        if (waited < 0) {
            std::fprintf(stderr, "agentctl: waiting for the reply failed (error %d)\n",
                         os_last_socket_error());
            break;
        }
        if (waited == 0) {
            continue;
        }
        char buf[65536];
        long n = os_recv(sock, buf, sizeof(buf));
        if (n <= 0) {
            std::fprintf(stderr,
                         "agentctl: the server closed the connection before the reply ended\n");
            break;
        }
        reply.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t at = reply.find(mark);
    if (at != std::string::npos) {
        status = 0;
        // The scan's mark ends with a zero byte, which is not for the terminal.
        if (command == "scan") {
            reply.resize(at);
            reply += "scanisdone\n";
        }
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    os_close_socket(sock);
    return status;
}
