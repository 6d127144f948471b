// Windows: identity, working directory, clock, local time and files.
// winsock2.h first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

// Ticks per second of the performance counter; fixed at boot.
std::uint64_t counter_frequency() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<std::uint64_t>(value.QuadPart);
    }();
    return frequency;
}

int clamped_int(std::size_t size) {
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

const char* os_arch_text() {
#if defined(_M_X64) || defined(__x86_64__)
    return "Windows X86-64";
#elif defined(_M_ARM64) || defined(__aarch64__)
    return "Windows ARM64";
#elif defined(_M_IX86) || defined(__i386__)
    return "Windows X86";
#else
    return "Windows";
#endif
}

char os_path_separator() {
    return '\\';
}

// Needs the socket library started (os_socket_startup).
void os_host_name(char* buf, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (gethostname(buf, clamped_int(size)) != 0) {
        buf[0] = '\0';
    }
    buf[size - 1] = '\0';
}

bool os_working_dir(char* buf, std::size_t size) {
    return size > 0 && _getcwd(buf, clamped_int(size)) != nullptr;
}

void os_sleep_ms(unsigned ms) {
    Sleep(ms);
}

std::uint64_t os_monotonic_us() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::uint64_t ticks = static_cast<std::uint64_t>(now.QuadPart);
    const std::uint64_t frequency = counter_frequency();
    if (frequency == 0) {
        return 0;
    }
    // Whole seconds and the remainder apart, so the product cannot overflow.
    return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

std::size_t os_local_time_text(char* buf, std::size_t size, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) != 0) {
        if (size > 0) {
            buf[0] = '\0';
        }
        return 0;
    }
    return std::strftime(buf, size, format, &local);
}

void os_file_closer::operator()(std::FILE* f) const noexcept {
    std::fclose(f);
}

// "N" asks the runtime for a handle that engines do not inherit.
os_file_ptr os_open_read(const char* name) {
    return os_file_ptr(std::fopen(name, "rN"));
}

bool os_append_text(const char* name, const char* text, std::size_t length) {
    // Text mode turns each "\n" into CRLF; not inherited by child processes.
    int fd = _open(name, _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    while (length > 0) {
        unsigned chunk = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
        int n = _write(fd, text, chunk);
        if (n <= 0) {
            ok = false;
            break;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    _close(fd);
    return ok;
}
