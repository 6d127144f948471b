// The diagnostic log: one append-only file, "OrvaneAgentErr.log" in the
// working directory, opened and closed for every line under one lock.
// A line is: timestamp, " Agent Server[", host name, "] ", message. The
// message carries its own "\n". A line that cannot be written is dropped.
#pragma once

#include <mutex>
#include <string>

#include "platform/platform.h"

extern const char err_file_name[];
// Guards the file for one line at a time. Usable from program start
// (constant initialisation) and never destroyed before the process ends.
extern std::mutex err_file_lock;

// The timestamp: local time as "%Y-%m-%d.%X", 19 characters.
std::string currentDateTime();

// Formatted writer: format is always one of the program's fixed texts.
void orvane_write_err_logs_valist(const char* format, ...) ORVANE_PRINTF(1, 2);
// A fixed format rendered into a text, for error texts that carry numbers.
std::string orvane_format_text(const char* format, ...) ORVANE_PRINTF(1, 2);
// Plain writer: text is written unchanged ('%' included).
void orvane_write_err_logs(const char* text);
inline void orvane_write_err_logs(const std::string& text) {
    orvane_write_err_logs(text.c_str());
}
