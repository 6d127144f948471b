// Windows: threads, the stop signals and the end of the process.
//
// Stop requests come two ways: the console's control events (Ctrl+C,
// Ctrl+Break, closing the window, log-off, shut-down), which Windows
// delivers on a thread of its own, and the runtime's signals (raise, abort),
// which run on the raising thread. Both only note the signal number and
// release a semaphore; one waiting thread then calls the server's handler,
// so the handler runs as an ordinary function that may take the log's lock,
// whatever thread held it when the request came.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/platform.h"

namespace {

// Thread stacks: the relays and listeners use a few KiB; 512 KiB of reserved
// address space per thread keeps thousands of client threads small.
constexpr unsigned thread_stack_bytes = 512 * 1024;
// How long a notifier that Windows or the runtime would follow with the
// process's end waits for the handler thread to end the process itself.
constexpr DWORD handler_grace_ms = 5000;
constexpr LONG max_pending_posts = 64;

void (*stop_handler)(int) = nullptr;
// One release per request; lives as long as the process, like its thread.
HANDLE stop_posted = nullptr;
// The requests not yet handled, one flag per signal in this order.
const int stop_numbers[] = {SIGINT, SIGTERM, SIGABRT};
std::atomic<bool> stop_pending[3];

struct thread_start_t {
    void* (*fn)(void*);
    void* arg;
};

unsigned __stdcall thread_body(void* start_arg) {
    std::unique_ptr<thread_start_t> start(static_cast<thread_start_t*>(start_arg));
    start->fn(start->arg);
    return 0;
}

void post_stop(int number) {
    for (std::size_t i = 0; i < sizeof(stop_numbers) / sizeof(stop_numbers[0]); ++i) {
        if (stop_numbers[i] == number) {
            stop_pending[i].store(true);
        }
    }
    ReleaseSemaphore(stop_posted, 1, nullptr);
}

// Runs on the thread that raised the signal.
void on_signal(int number) {
    // The runtime resets the action to the default before calling us.
    std::signal(number, on_signal);
    post_stop(number);
    if (number == SIGABRT) {
        // abort() ends the process once this returns; let the handler log first.
        Sleep(handler_grace_ms);
    }
}

// Runs on a thread that Windows starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            post_stop(SIGINT);
            return TRUE;
        case CTRL_BREAK_EVENT:
            post_stop(SIGTERM);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // Windows ends the process as soon as this returns.
            post_stop(SIGTERM);
            Sleep(handler_grace_ms);
            return TRUE;
        default:
            return FALSE;
    }
}

void* signal_thread_body(void*) {
    for (;;) {
        if (WaitForSingleObject(stop_posted, INFINITE) != WAIT_OBJECT_0) {
            Sleep(100);  // not expected; keeps a broken wait from spinning
            continue;
        }
        for (std::size_t i = 0; i < sizeof(stop_numbers) / sizeof(stop_numbers[0]); ++i) {
            if (stop_pending[i].exchange(false)) {
                stop_handler(stop_numbers[i]);
            }
        }
    }
    return nullptr;
}

}  // namespace

// Windows raises no signal for a send on a reset connection; the send fails.
bool os_start_signal_thread(void (*handler)(int)) {
    stop_handler = handler;
    stop_posted = CreateSemaphoreA(nullptr, 0, max_pending_posts, nullptr);
    if (stop_posted == nullptr) {
        return false;
    }
    if (!os_start_thread(signal_thread_body, nullptr)) {
        return false;
    }
    std::signal(SIGABRT, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    // Installed after the runtime's own console handler, so it is asked first.
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return true;
}

void os_exit_process(int status) {
    std::fflush(stdout);
    _exit(status);
}

bool os_start_thread(void* (*fn)(void*), void* arg) {
    auto start = std::make_unique<thread_start_t>(thread_start_t{fn, arg});
    uintptr_t thread = _beginthreadex(nullptr, thread_stack_bytes, thread_body, start.get(),
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) {
        return false;
    }
    start.release();  // the thread owns it now
    // Detached: nobody waits for the thread, so its handle goes at once.
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}
