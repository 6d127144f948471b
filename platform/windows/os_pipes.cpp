// Windows: named pipes, on CreateNamedPipeA and ConnectNamedPipe.
//
// Each server end is an entry in a table under one mutex: its name, its
// Windows handle, and its state (waiting, connected, cancelled). The server
// hands out the entry's key, a counter value that is never reused, rather
// than the Windows handle: Windows reuses handle values, and a stale value
// that reached a later client's pipe could cancel or close it.
//
// Only one instance of a name may wait at a time: two engines started for
// the same name could otherwise open each other's pipes.
//
// Cancelling a connect: ConnectNamedPipe has no time-out, and cancelling it
// on another thread (CancelSynchronousIo) misses a thread that is just about
// to call it. So a cancel opens the pipe's other end itself, under the
// table lock, which completes a pending connect and pre-empts a later one,
// and marks the entry cancelled; the connect then closes that end and fails
// with os_error_aborted. A cancel that finds the pipe already opened by the
// program (ERROR_PIPE_BUSY) changes nothing: the pipe is connected.
//
// Readers and writers look up the Windows handle under the lock and do the
// I/O outside it; only the thread that owns a handle closes it, and not
// while that handle is in a read, write or connect.
//
// os_last_error() is GetLastError(): each operation stores its number with
// SetLastError as its last step.
#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "os_handles_internal.h"
#include "platform/platform.h"

namespace {

constexpr char pipe_prefix[] = "\\\\.\\pipe\\";
constexpr std::size_t pipe_prefix_len = sizeof(pipe_prefix) - 1;
constexpr std::size_t pipe_name_max = 255;
constexpr DWORD pipe_buffer_bytes = 8192;

enum class pipe_state_t { waiting, connected, cancelled };

struct pipe_instance_t {
    char name[pipe_name_max + 1] = {};
    pipe_state_t state = pipe_state_t::waiting;
    owned_handle_t server_end;
    owned_handle_t cancel_end;  // the other end, opened by a cancel
};

std::mutex pipe_table_lock;
std::map<os_handle_t, pipe_instance_t> pipe_table;
os_handle_t next_pipe_handle = 1;

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

bool is_pipe_name(const char* name) {
    return name != nullptr && _strnicmp(name, pipe_prefix, pipe_prefix_len) == 0;
}

// The Windows handle of a connected instance, or null with *error set.
HANDLE connected_handle(os_handle_t pipe, DWORD* error) {
    std::lock_guard<std::mutex> hold(pipe_table_lock);
    auto it = pipe_table.find(pipe);
    if (it == pipe_table.end()) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (it->second.state != pipe_state_t::connected) {
        *error = ERROR_PIPE_NOT_CONNECTED;
        return nullptr;
    }
    return it->second.server_end.h;
}

}  // namespace

int os_last_error() {
    return static_cast<int>(GetLastError());
}

os_handle_t os_create_named_pipe(const char* name) {
    if (!is_pipe_name(name) || name[pipe_prefix_len] == '\0') {
        fail(ERROR_INVALID_NAME);
        return os_invalid_handle;
    }
    if (std::strlen(name) > pipe_name_max) {
        fail(ERROR_FILENAME_EXCED_RANGE);
        return os_invalid_handle;
    }
    DWORD error = ERROR_SUCCESS;
    os_handle_t handle = os_invalid_handle;
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        for (const auto& entry : pipe_table) {
            if (entry.second.state == pipe_state_t::waiting &&
                _stricmp(entry.second.name, name) == 0) {
                error = ERROR_PIPE_BUSY;
            }
        }
        // No security attributes: the handle is not inherited.
        owned_handle_t server_end;
        if (error == ERROR_SUCCESS) {
            server_end.reset(CreateNamedPipeA(
                name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                PIPE_UNLIMITED_INSTANCES, pipe_buffer_bytes, pipe_buffer_bytes, 0, nullptr));
            if (!server_end.valid()) {
                error = GetLastError();
            }
        }
        if (server_end.valid()) {
            handle = next_pipe_handle++;
            pipe_instance_t& inst = pipe_table[handle];
            std::memcpy(inst.name, name, std::strlen(name) + 1);
            inst.server_end = std::move(server_end);
        }
    }
    SetLastError(error);
    return handle;
}

bool os_connect_named_pipe(os_handle_t pipe) {
    HANDLE server_end = nullptr;
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        auto it = pipe_table.find(pipe);
        if (it == pipe_table.end()) {
            return fail(ERROR_INVALID_HANDLE);
        }
        switch (it->second.state) {
            case pipe_state_t::connected:
                SetLastError(ERROR_SUCCESS);
                return true;
            case pipe_state_t::cancelled:
                it->second.cancel_end.reset();
                return fail(os_error_aborted);
            case pipe_state_t::waiting:
                server_end = it->second.server_end.h;
                break;
        }
    }
    DWORD error = ERROR_SUCCESS;
    if (!ConnectNamedPipe(server_end, nullptr)) {
        error = GetLastError();
        // The program opened the pipe, wrote and closed it before the call:
        // connected all the same; its output is read and then ends with 109.
        if (error == ERROR_NO_DATA) {
            error = ERROR_PIPE_CONNECTED;
        }
    }
    owned_handle_t cancel_end;
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        auto it = pipe_table.find(pipe);
        if (it == pipe_table.end()) {
            error = ERROR_INVALID_HANDLE;
        } else if (it->second.state == pipe_state_t::cancelled) {
            cancel_end = std::move(it->second.cancel_end);
            error = os_error_aborted;
        } else if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED) {
            it->second.state = pipe_state_t::connected;
        }
    }
    cancel_end.reset();
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

void os_cancel_named_pipe(os_handle_t pipe) {
    DWORD saved = GetLastError();
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        auto it = pipe_table.find(pipe);
        if (it != pipe_table.end() && it->second.state == pipe_state_t::waiting) {
            // Opening a pipe does not wait: it fails at once when the
            // instance is taken. Under the lock, no other instance of this
            // name can be waiting, so this opens our own instance.
            owned_handle_t other_end(CreateFileA(it->second.name, GENERIC_READ | GENERIC_WRITE, 0,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
            if (other_end.valid()) {
                it->second.cancel_end = std::move(other_end);
                it->second.state = pipe_state_t::cancelled;
            } else if (GetLastError() != ERROR_PIPE_BUSY) {
                // Not expected for our own pipe; a later connect still fails.
                it->second.state = pipe_state_t::cancelled;
            }
        }
    }
    SetLastError(saved);
}

bool os_read_pipe(os_handle_t pipe, char* buf, std::uint32_t len, std::uint32_t* got) {
    if (got != nullptr) {
        *got = 0;
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE h = connected_handle(pipe, &error);
    if (h == nullptr) {
        return fail(error);
    }
    if (len == 0 || buf == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    for (;;) {
        DWORD n = 0;
        BOOL ok = ReadFile(h, buf, len, &n, nullptr);
        // A message longer than the buffer: this part now, the rest next.
        if (!ok && GetLastError() == ERROR_MORE_DATA) {
            ok = TRUE;
        }
        if (!ok) {
            return false;  // GetLastError() is ReadFile's, 109 at the end
        }
        if (n > 0) {
            if (got != nullptr) {
                *got = n;
            }
            SetLastError(ERROR_SUCCESS);
            return true;
        }
        // An empty message carries nothing to deliver; wait for the next.
    }
}

bool os_write_pipe(os_handle_t pipe, const char* buf, std::uint32_t len, std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE h = connected_handle(pipe, &error);
    if (h == nullptr) {
        return fail(error);
    }
    std::uint32_t done = 0;
    while (done < len) {
        DWORD n = 0;
        if (!WriteFile(h, buf + done, len - done, &n, nullptr)) {
            return false;  // GetLastError() is WriteFile's
        }
        if (n == 0) {
            return fail(ERROR_NO_DATA);
        }
        done += n;
        if (written != nullptr) {
            *written = done;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

void os_close_handle(os_handle_t pipe) {
    DWORD saved = GetLastError();
    pipe_instance_t gone;
    {
        std::lock_guard<std::mutex> hold(pipe_table_lock);
        auto it = pipe_table.find(pipe);
        if (it == pipe_table.end()) {
            return;
        }
        gone.server_end = std::move(it->second.server_end);
        gone.cancel_end = std::move(it->second.cancel_end);
        pipe_table.erase(it);
    }
    // Both ends close outside the lock.
    gone.server_end.reset();
    gone.cancel_end.reset();
    SetLastError(saved);
}
