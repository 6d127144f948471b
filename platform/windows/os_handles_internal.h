// Windows: a handle owner shared by the per-OS files of this folder.
#pragma once

#include <windows.h>

// Owns one Windows handle and closes it when it goes. Windows marks "no
// handle" with either a null or INVALID_HANDLE_VALUE, depending on the call;
// both count as empty.
struct owned_handle_t {
    HANDLE h = INVALID_HANDLE_VALUE;

    owned_handle_t() = default;
    explicit owned_handle_t(HANDLE value) : h(value) {}
    owned_handle_t(const owned_handle_t&) = delete;
    owned_handle_t& operator=(const owned_handle_t&) = delete;
    owned_handle_t(owned_handle_t&& other) noexcept : h(other.h) { other.h = INVALID_HANDLE_VALUE; }
    owned_handle_t& operator=(owned_handle_t&& other) noexcept {
        if (this != &other) {
            reset(other.h);
            other.h = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    ~owned_handle_t() { reset(); }

    void reset(HANDLE value = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(h);
        }
        h = value;
    }
    bool valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};
