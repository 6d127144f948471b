// Linux: named pipes, kept inside the server process.
//
// A named pipe instance is an entry in a table under one mutex: its name, its
// state (waiting, connected, cancelled) and, once connected, the server's end
// of a kernel pipe. Only the command interpreter of this same process opens
// the other end: for " < NAME" or " > NAME" it takes the oldest waiting
// instance of the name, makes an anonymous pipe, gives one end to the program
// and stores the other in the instance (os_bind_pipes).
//
// Nothing is created in the file system, so nothing is left behind when the
// server ends, even after SIGKILL, and no other local user can open or
// connect to the server's pipes.
//
// A handle is a counter value, never reused, so a stale handle never reaches
// another client's pipe. Only one instance of a name may wait at a time:
// two engines started for the same name could otherwise be bound to each
// other's pipes.
//
// Readers and writers look up the descriptor under the lock and do the I/O
// outside it; only the thread that owns a handle closes it, and not while
// that handle is in a read or write.
//
// os_last_error(): the Windows numbers of platform.h for the pipe errors it
// names (109, 231, 535, 995), otherwise the errno of the failed call.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "os_pipes_internal.h"
#include "platform/platform.h"

namespace {

constexpr char pipe_prefix[] = "\\\\.\\pipe\\";
constexpr std::size_t pipe_prefix_len = sizeof(pipe_prefix) - 1;
constexpr std::size_t pipe_name_max = 255;
// The buffer size the server asks for; Linux rounds it to whole pages.
constexpr int pipe_buffer_bytes = 8192;
constexpr std::size_t max_bindings = 2;

enum class pipe_state_t { waiting, connected, cancelled };

struct pipe_instance_t {
    char name[pipe_name_max + 1] = {};
    pipe_state_t state = pipe_state_t::waiting;
    owned_fd_t server_end;
};

std::mutex pipe_table_lock;
// Signalled on every change of state or removal; connect waiters re-check.
std::condition_variable pipe_table_changed;
// Ordered by handle, which is the creation order: the first waiting match
// is the oldest.
std::map<os_handle_t, pipe_instance_t> pipe_table;
os_handle_t next_pipe_handle = 1;

thread_local int last_error = 0;

int pipe_error_of(int err) {
    return (err == EPIPE || err == ECONNRESET) ? os_error_broken_pipe : err;
}

bool same_name(const char* a, const char* b) {
    return strcasecmp(a, b) == 0;
}

// The descriptor of a connected instance, or -1 with last_error set.
int connected_fd(os_handle_t pipe) {
    std::lock_guard<std::mutex> hold(pipe_table_lock);
    auto it = pipe_table.find(pipe);
    if (it == pipe_table.end()) {
        last_error = EBADF;
        return -1;
    }
    if (it->second.state != pipe_state_t::connected) {
        last_error = ENOTCONN;
        return -1;
    }
    return it->second.server_end.fd;
}

// The oldest waiting instance of name that is not among taken[0..count).
pipe_instance_t* oldest_waiting(const char* name, pipe_instance_t* const* taken, std::size_t count,
                                bool* name_exists) {
    for (auto& entry : pipe_table) {
        pipe_instance_t& inst = entry.second;
        if (!same_name(inst.name, name)) {
            continue;
        }
        *name_exists = true;
        if (inst.state != pipe_state_t::waiting) {
            continue;
        }
        bool already = false;
        for (std::size_t i = 0; i < count; ++i) {
            already = already || taken[i] == &inst;
        }
        if (!already) {
            return &inst;
        }
    }
    return nullptr;
}

}  // namespace

void os_set_last_error(int code) {
    last_error = code;
}

int os_last_error() {
    return last_error;
}

bool os_is_pipe_name(const char* name) {
    return name != nullptr && strncasecmp(name, pipe_prefix, pipe_prefix_len) == 0;
}

os_handle_t os_create_named_pipe(const char* name) {
    if (!os_is_pipe_name(name) || name[pipe_prefix_len] == '\0') {
        last_error = EINVAL;
        return os_invalid_handle;
    }
    if (std::strlen(name) > pipe_name_max) {
        last_error = ENAMETOOLONG;
        return os_invalid_handle;
    }
    std::lock_guard<std::mutex> hold(pipe_table_lock);
    for (const auto& entry : pipe_table) {
        if (entry.second.state == pipe_state_t::waiting && same_name(entry.second.name, name)) {
            last_error = os_error_pipe_busy;
            return os_invalid_handle;
        }
    }
    os_handle_t handle = next_pipe_handle++;
    pipe_instance_t& inst = pipe_table[handle];
    std::memcpy(inst.name, name, std::strlen(name) + 1);
    return handle;
}

// An instance that was connected before the call gives true, not 535.
bool os_connect_named_pipe(os_handle_t pipe) {
    std::unique_lock<std::mutex> hold(pipe_table_lock);
    for (;;) {
        auto it = pipe_table.find(pipe);
        if (it == pipe_table.end()) {
            last_error = EBADF;
            return false;
        }
        if (it->second.state == pipe_state_t::connected) {
            return true;
        }
        if (it->second.state == pipe_state_t::cancelled) {
            last_error = os_error_aborted;
            return false;
        }
        pipe_table_changed.wait(hold);
    }
}

void os_cancel_named_pipe(os_handle_t pipe) {
    std::lock_guard<std::mutex> hold(pipe_table_lock);
    auto it = pipe_table.find(pipe);
    if (it != pipe_table.end() && it->second.state == pipe_state_t::waiting) {
        it->second.state = pipe_state_t::cancelled;
        pipe_table_changed.notify_all();
    }
}

bool os_read_pipe(os_handle_t pipe, char* buf, std::uint32_t len, std::uint32_t* got) {
    if (got != nullptr) {
        *got = 0;
    }
    int fd = connected_fd(pipe);
    if (fd < 0) {
        return false;
    }
    if (len == 0 || buf == nullptr) {
        last_error = EINVAL;
        return false;
    }
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n > 0) {
            if (got != nullptr) {
                *got = static_cast<std::uint32_t>(n);
            }
            return true;
        }
        if (n == 0) {
            last_error = os_error_broken_pipe;
            return false;
        }
        if (errno != EINTR) {
            last_error = pipe_error_of(errno);
            return false;
        }
    }
}

bool os_write_pipe(os_handle_t pipe, const char* buf, std::uint32_t len, std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    int fd = connected_fd(pipe);
    if (fd < 0) {
        return false;
    }
    std::uint32_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            last_error = pipe_error_of(errno);
            return false;
        }
        done += static_cast<std::uint32_t>(n);
        if (written != nullptr) {
            *written = done;
        }
    }
    return true;
}

void os_close_handle(os_handle_t pipe) {
    owned_fd_t server_end;
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        auto it = pipe_table.find(pipe);
        if (it == pipe_table.end()) {
            return;
        }
        server_end = std::move(it->second.server_end);
        pipe_table.erase(it);
        pipe_table_changed.notify_all();
    }
    // server_end closes here, outside the lock.
}

bool os_bind_pipes(os_pipe_binding_t* bindings, std::size_t count) {
    if (count > max_bindings) {
        last_error = EINVAL;
        return false;
    }
    // The kernel pipes are made before the lock is taken.
    owned_fd_t program_ends[max_bindings];
    owned_fd_t server_ends[max_bindings];
    for (std::size_t i = 0; i < count; ++i) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            last_error = errno;
            return false;
        }
        owned_fd_t read_end(ends[0]);
        owned_fd_t write_end(ends[1]);
        fcntl(read_end.fd, F_SETPIPE_SZ, pipe_buffer_bytes);
        if (bindings[i].program_reads) {
            program_ends[i] = std::move(read_end);
            server_ends[i] = std::move(write_end);
        } else {
            program_ends[i] = std::move(write_end);
            server_ends[i] = std::move(read_end);
        }
    }
    std::lock_guard<std::mutex> hold(pipe_table_lock);
    pipe_instance_t* taken[max_bindings] = {};
    for (std::size_t i = 0; i < count; ++i) {
        bool name_exists = false;
        taken[i] = oldest_waiting(bindings[i].name, taken, i, &name_exists);
        if (taken[i] == nullptr) {
            // Like opening a pipe whose instances are all in use, or that
            // does not exist.
            last_error = name_exists ? os_error_pipe_busy : ENOENT;
            return false;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        taken[i]->server_end = std::move(server_ends[i]);
        taken[i]->state = pipe_state_t::connected;
        bindings[i].program_end = std::move(program_ends[i]);
    }
    if (count > 0) {
        pipe_table_changed.notify_all();
    }
    return true;
}
