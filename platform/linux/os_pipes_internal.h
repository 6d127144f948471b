// Linux: what the command interpreter (os_command.cpp) needs from the named
// pipe table (os_pipes.cpp). Private to platform/linux.
#pragma once

#include <unistd.h>

#include <cstddef>

// Owns one file descriptor and closes it when it goes.
struct owned_fd_t {
    int fd = -1;

    owned_fd_t() = default;
    explicit owned_fd_t(int value) : fd(value) {}
    owned_fd_t(const owned_fd_t&) = delete;
    owned_fd_t& operator=(const owned_fd_t&) = delete;
    owned_fd_t(owned_fd_t&& other) noexcept : fd(other.fd) { other.fd = -1; }
    owned_fd_t& operator=(owned_fd_t&& other) noexcept {
        if (this != &other) {
            reset(other.fd);
            other.fd = -1;
        }
        return *this;
    }
    ~owned_fd_t() { reset(); }

    void reset(int value = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = value;
    }
    bool valid() const { return fd >= 0; }
};

// Sets the number os_last_error() returns on this thread.
void os_set_last_error(int code);

// True when the text names a pipe ("\\.\pipe\" + anything, any letter case).
bool os_is_pipe_name(const char* name);

// One redirection of a program to a pipe name.
struct os_pipe_binding_t {
    const char* name = nullptr;  // the pipe name after "<" or ">"
    bool program_reads = false;  // true for " < NAME" (the program's input)
    owned_fd_t program_end;      // filled on success: the program's end
};

// Binds every binding to the oldest waiting server instance of its name, all
// in one hold of the table lock, and wakes their connect waiters. All or
// nothing: false, with os_last_error() set, when one of them has no waiting
// instance or a kernel pipe cannot be made; then no instance changes.
bool os_bind_pipes(os_pipe_binding_t* bindings, std::size_t count);
