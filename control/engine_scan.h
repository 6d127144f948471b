// The configuration scan: reads "orvane_agent.conf" from the working
// directory and starts one launch thread per engine line, under the busy
// flag. For a management "scan" it answers with one line per launched engine
// line and the 11-byte closing mark "scanisdone\0".
#pragma once

#include <string>

#include "platform/platform.h"

extern const char orvane_conf_file_name[];

// One engine line of the configuration.
struct orvane_engine_line_t {
    std::string name;
    std::string port;
    std::string exe;  // with ".exe" appended when it had none
    std::string args;
    std::string exe_as_read;
    bool exe_appended;  // "exe" lacked ".exe"
};

enum class orvane_line_kind_t {
    skipped,  // empty, a comment, or begins with whitespace
    engine,   // an engine line, in *out
    too_long  // a token does not fit a 255-character field
};

orvane_line_kind_t orvane_parse_engine_line(const std::string& line, orvane_engine_line_t* out);

// Runs a scan to its end. reply 1 answers on sock. Returns false when a
// reply could not be delivered (the client stopped reading); the scan has
// still run to its end.
bool orvane_scan_and_load_engines(os_socket_t sock, int reply);
