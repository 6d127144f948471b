#include "core/err_log.h"

#include <cstdarg>
#include <cstdio>

#include "core/server_globals.h"

const char err_file_name[] = "OrvaneAgentErr.log";
std::mutex err_file_lock;

std::string currentDateTime() {
    char buf[80];
    std::size_t length = os_local_time_text(buf, sizeof(buf), "%Y-%m-%d.%X");
    return std::string(buf, length);
}

namespace {

// Writes the prefix; the host name is a plain argument, never a format.
void write_prefix(std::FILE* file) {
    std::string stamp = currentDateTime();
    std::fprintf(file, "%s Agent Server[%s] ", stamp.c_str(), my_host_name);
}

}  // namespace

void orvane_write_err_logs_valist(const char* format, ...) {
    std::lock_guard<std::mutex> hold(err_file_lock);
    os_file_ptr file = os_open_append(err_file_name);
    if (!file) {
        return;
    }
    write_prefix(file.get());
    va_list args;
    va_start(args, format);
    std::vfprintf(file.get(), format, args);
    va_end(args);
}

void orvane_write_err_logs(const char* text) {
    std::lock_guard<std::mutex> hold(err_file_lock);
    os_file_ptr file = os_open_append(err_file_name);
    if (!file) {
        return;
    }
    write_prefix(file.get());
    std::fputs(text, file.get());
}
