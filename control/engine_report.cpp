#include "control/engine_report.h"

#include <mutex>
#include <stdexcept>

#include "core/engine_registry.h"
#include "core/err_log.h"
#include "core/server_globals.h"

namespace {
constexpr int reply_stall_ms = 10000;
}

std::string orvane_engine_report_text() {
    std::string text = std::string("\n===== Engine Table Entries from Server (") + my_host_name +
                       ") OS-ARCH (" + my_os_arch + ")  =====\n";
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    int listed = 0;
    for (const engine_entry_t& entry : engine_tables) {
        if (entry.in_use == 0) {
            continue;
        }
        if (listed++ > 0) {
            text += "\n";
        }
        text += std::string("Engine(") + entry.name + ") TCP Port(" + entry.port + ")\n";
        text += std::string("   Executable On Server(") + entry.dir + entry.exe + ")\n";
        text += "   Connected Users:\n";
        for (const engine_instance_t& slot : entry.instances) {
            if (slot.in_use == 0) {
                continue;
            }
            text += std::string("      * Client IP[") + slot.client_ip + "] Socket(" +
                    std::to_string(slot.sock) + ") Server IP[" + slot.server_ip + "] " +
                    "Engine Instance(" + slot.instance_exe + ")\n";
        }
    }
    text += "================================<<<querydone\n\n";
    return text;
}

bool orvane_query_engines(os_socket_t sock) {
    const int sock_value = static_cast<int>(sock);
    orvane_busy_acquire(">>> Client socket (%d) acquired lock to query engine...\n", sock_value);
    bool delivered = true;
    try {
        std::string report = orvane_engine_report_text();
        delivered = os_send_all(sock, report.data(), report.size(), reply_stall_ms);
        orvane_busy_release("<<< Engine query done, lock released by client socket %d.\n",
                            sock_value);
    } catch (const std::exception& error) {
        orvane_busy_release_quiet();
        orvane_write_err_logs_valist("<<< ERROR on engine query for socket (%d): %s", sock_value,
                                     error.what());
    }
    return delivered;
}
