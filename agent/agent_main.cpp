// The entry point: start-up, the idle loop, and the stop on a signal.
//
// Start-up fills the identity globals, writes the start lines, starts the
// management thread and runs the first configuration scan on this thread;
// then the main thread only waits for the stop flag. The stop signals are
// taken by a thread of their own (platform/), so the handler below runs in
// ordinary thread context and may take the log's lock.
#include <stdexcept>

#include "control/engine_scan.h"
#include "control/management.h"
#include "core/engine_registry.h"
#include "core/err_log.h"
#include "core/server_globals.h"
#include "platform/platform.h"

namespace {
constexpr unsigned idle_step_ms = 3000;
}

void orvane_signal_handler(int signal_number) {
    orvane_exiting.store(1);
    orvane_write_err_logs_valist("<<<<<<<<<< Server terminated with sig(%d).\n", signal_number);
    orvane_write_err_logs_valist("<<<<<<<<<<\n");
    os_exit_process(signal_number);
}

int main(int, char**) {
    orvane_copy_text(my_os_arch, os_arch_text());
    orvane_copy_text(qav_header, "QAV_X64WIN_");
    try {
        if (os_socket_startup() != 0) {
            throw std::runtime_error("Failed to initialize.\n");
        }
        os_host_name(my_host_name, sizeof(my_host_name));
        orvane_write_err_logs_valist(">>>>>>>>>>\n");
        orvane_write_err_logs_valist(">>>>>>>>>> Server started ver=%s\n", build);
        os_start_signal_thread(orvane_signal_handler);
        // Both mutexes are constant-initialised: usable before this point.
        orvane_clear_engine_tables();
        orvane_write_err_logs_valist("total engine table size = %ld\n",
                                     static_cast<long>(sizeof(engine_tables)));
        if (!os_start_thread(orvane_management_thread, nullptr)) {
            throw std::runtime_error("Unable to create management thread\n");
        }
        orvane_scan_and_load_engines(0, 0);
        while (orvane_exiting.load() == 0) {
            os_sleep_ms(idle_step_ms);
        }
        orvane_write_err_logs_valist("<<<<<<<<<< Server stopped\n");
        orvane_write_err_logs_valist("<<<<<<<<<<\n");
        // Only the signal handler sets the flag, and it ends the process with
        // the signal's number once its lines are written. Returning here would
        // race it with status 0, and clean up sockets and static objects that
        // other threads still use.
        for (;;) {
            os_sleep_ms(idle_step_ms);
        }
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on Main: %s", error.what());
    }
    os_socket_cleanup();
    // Threads that are still running keep the static objects they use.
    os_exit_process(0);
}
