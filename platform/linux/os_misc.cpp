// Linux: identity, working directory, clock, local time and files.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

const char* os_arch_text() {
#if defined(__x86_64__)
    return "Linux X86-64";
#elif defined(__aarch64__)
    return "Linux ARM64";
#elif defined(__i386__)
    return "Linux X86";
#else
    return "Linux";
#endif
}

char os_path_separator() {
    return '/';
}

void os_host_name(char* buf, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (gethostname(buf, size) != 0) {
        buf[0] = '\0';
    }
    buf[size - 1] = '\0';
}

bool os_working_dir(char* buf, std::size_t size) {
    return getcwd(buf, size) != nullptr;
}

void os_sleep_ms(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t os_monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::size_t os_local_time_text(char* buf, std::size_t size, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::strftime(buf, size, format, &local);
}

void os_file_closer::operator()(std::FILE* f) const noexcept {
    std::fclose(f);
}

// "e" asks glibc for O_CLOEXEC: engines must not inherit the configuration.
os_file_ptr os_open_read(const char* name) {
    return os_file_ptr(std::fopen(name, "re"));
}

bool os_append_text(const char* name, const char* text, std::size_t length) {
    int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    close(fd);
    return ok;
}
