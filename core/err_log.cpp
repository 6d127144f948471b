#include "core/err_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/server_globals.h"

const char err_file_name[] = "OrvaneAgentErr.log";
std::mutex err_file_lock;

std::string currentDateTime() {
    char buf[80];
    std::size_t length = os_local_time_text(buf, sizeof(buf), "%Y-%m-%d.%X");
    return std::string(buf, length);
}

namespace {

// The line as one text: prefix then message. The host name is a plain
// argument, never part of a format.
std::string line_prefix() {
    std::string line = currentDateTime();
    line += " Agent Server[";
    line += my_host_name;
    line += "] ";
    return line;
}

// Appends the line in one write: no other writer's bytes can come between
// its parts, and it costs one system call instead of one per part.
void append_line(const std::string& line) {
    os_append_text(err_file_name, line.data(), line.size());
}

}  // namespace

void orvane_write_err_logs_valist(const char* format, ...) {
    std::lock_guard<std::mutex> hold(err_file_lock);
    std::string line = line_prefix();
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof(small)) {
        line.append(small, static_cast<std::size_t>(length));
    } else if (length > 0) {
        std::string large(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(&large[0], large.size(), format, again);
        line.append(large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    append_line(line);
}

std::string orvane_format_text(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return std::string(text, length < 0 ? 0 : std::min<std::size_t>(length, sizeof(text) - 1));
}

void orvane_write_err_logs(const char* text) {
    std::lock_guard<std::mutex> hold(err_file_lock);
    std::string line = line_prefix();
    line += text;
    append_line(line);
}
