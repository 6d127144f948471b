#include "control/engine_scan.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "core/engine_registry.h"
#include "core/err_log.h"
#include "core/server_globals.h"
#include "service/engine_launcher.h"

const char orvane_conf_file_name[] = "orvane_agent.conf";

namespace {

constexpr unsigned launch_pause_ms = 50;
// A management client that reads nothing for this long loses its reply.
constexpr int reply_stall_ms = 10000;
constexpr char closing_mark[11] = {'s', 'c', 'a', 'n', 'i', 's', 'd', 'o', 'n', 'e', '\0'};
constexpr const char* blanks = " \t\v\f\r";

bool is_blank(char c) {
    return c != '\0' && std::strchr(blanks, c) != nullptr;
}

// Reads one line of the file (without its line feed); false at the end.
bool read_line(std::FILE* file, std::string* line) {
    line->clear();
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\n') {
            return true;
        }
        line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

}  // namespace

orvane_line_kind_t orvane_parse_engine_line(const std::string& line, orvane_engine_line_t* out) {
    if (line.empty() || line[0] == '#' || is_blank(line[0])) {
        return orvane_line_kind_t::skipped;
    }
    std::string tokens[4];
    std::size_t pos = 0;
    for (std::string& token : tokens) {
        while (pos < line.size() && is_blank(line[pos])) {
            ++pos;
        }
        std::size_t start = pos;
        while (pos < line.size() && !is_blank(line[pos])) {
            ++pos;
        }
        token = line.substr(start, pos - start);
    }
    out->name = tokens[0];
    out->port = tokens[1];
    out->exe_as_read = tokens[2];
    out->args = tokens[3];
    out->exe_appended = out->exe_as_read.find(".exe") == std::string::npos;
    out->exe = out->exe_appended ? out->exe_as_read + ".exe" : out->exe_as_read;
    for (const std::string* token : {&out->name, &out->port, &out->exe, &out->args}) {
        if (token->size() >= orvane_text_size) {
            return orvane_line_kind_t::too_long;
        }
    }
    return orvane_line_kind_t::engine;
}

bool orvane_scan_and_load_engines(os_socket_t sock, int reply) {
    const int sock_value = reply != 0 ? static_cast<int>(sock) : 0;
    orvane_busy_acquire(">>> Client socket (%d) acquired lock to scan/load engine...\n",
                        sock_value);
    bool delivered = true;
    // A reply that stalls is dropped, and so is every later one.
    auto send_reply = [&](const char* bytes, std::size_t length) {
        if (reply != 0 && delivered) {
            delivered = os_send_all(sock, bytes, length, reply_stall_ms);
        }
    };
    try {
        char server_ip[16] = "";
        if (reply != 0) {
            os_local_ipv4(sock, server_ip, sizeof(server_ip));
            orvane_write_err_logs_valist("[MGMT] Local IP is (%s)\n", server_ip);
        }
        char cwd[orvane_text_size];
        if (!os_working_dir(cwd, sizeof(cwd))) {
            throw std::runtime_error("ERROR: failed to get current path\n");
        }
        cwd[sizeof(cwd) - 1] = '\0';
        os_file_ptr conf = os_open_read(orvane_conf_file_name);
        if (!conf) {
            orvane_busy_release_quiet();
            return delivered;
        }
        std::string line;
        while (read_line(conf.get(), &line)) {
            orvane_engine_line_t engine;
            orvane_line_kind_t kind = orvane_parse_engine_line(line, &engine);
            if (kind == orvane_line_kind_t::skipped) {
                continue;
            }
            if (kind == orvane_line_kind_t::too_long) {
                orvane_write_err_logs_valist(
                    "Engine line refused: a token is longer than 255 characters (%.40s...)\n",
                    line.c_str());
                continue;
            }
            if (engine.exe_appended) {
                orvane_write_err_logs_valist("%s doesn't have exe\n", engine.exe_as_read.c_str());
            }
            orvane_write_err_logs_valist("Engine n(%s) p(%s) exe(%s) arg(%s)\n",
                                         engine.name.c_str(), engine.port.c_str(),
                                         engine.exe.c_str(), engine.args.c_str());
            std::unique_ptr<engine_entry_t> record(new (std::nothrow) engine_entry_t);
            if (!record) {
                orvane_write_err_logs_valist("Unable to allocate launch record for engine(%s)\n",
                                             engine.name.c_str());
                continue;
            }
            orvane_copy_text(record->dir, cwd);
            orvane_copy_text(record->name, engine.name.c_str());
            orvane_copy_text(record->exe, engine.exe.c_str());
            orvane_copy_text(record->port, engine.port.c_str());
            orvane_copy_text(record->args, engine.args.c_str());
            if (!os_start_thread(engine_launch_thread, record.get())) {
                orvane_write_err_logs_valist("Unable to create launch thread for engine(%s)\n",
                                             engine.name.c_str());
                continue;
            }
            record.release();  // the launch thread owns it now
            os_sleep_ms(launch_pause_ms);
            std::string reply_line =
                std::string(qav_header) + server_ip + "_" + engine.port + "_" + engine.name + "\n";
            send_reply(reply_line.data(), reply_line.size());
        }
        send_reply(closing_mark, sizeof(closing_mark));
        conf.reset();
        orvane_busy_release("<<< Engine scan done, lock released by client socket\n", 0);
    } catch (const std::exception& error) {
        orvane_busy_release_quiet();
        orvane_write_err_logs_valist("<<< ERROR on engine scan for socket (%d): %s", sock_value,
                                     error.what());
    }
    return delivered;
}
