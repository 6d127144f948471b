// Linux: threads, the stop signals and the end of the process.
//
// The stop signals are blocked in every thread and taken by one thread that
// waits for them with sigwait, so the server's handler runs as an ordinary
// function that may take the log's lock, whatever thread held it when the
// signal arrived.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

// Thread stacks: the relays and listeners use a few KiB; 512 KiB keeps the
// address space of thousands of client threads small.
constexpr std::size_t thread_stack_bytes = 512 * 1024;

void (*stop_handler)(int) = nullptr;

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGABRT);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* signal_thread_body(void*) {
    sigset_t set = stop_signals();
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) == 0) {
            stop_handler(number);
        }
    }
    return nullptr;
}

}  // namespace

bool os_start_signal_thread(void (*handler)(int)) {
    // A send on a connection the peer has reset must fail, not end the server.
    signal(SIGPIPE, SIG_IGN);
    stop_handler = handler;
    sigset_t set = stop_signals();
    // Threads inherit the mask, so every later thread leaves them to sigwait.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (!os_start_thread(signal_thread_body, nullptr)) {
        // Nobody would take them: held back, they could never stop the
        // server. Their default action ends it instead.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    return true;
}

void os_exit_process(int status) {
    std::fflush(stdout);
    _exit(status);
}

bool os_start_thread(void* (*fn)(void*), void* arg) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, thread_stack_bytes);
    pthread_t id;
    int rc = pthread_create(&id, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc == 0;
}
