// The identity globals and the stop flag. Start-up fills the identity texts
// before any other thread exists; afterwards they are only read.
#pragma once

#include <atomic>

extern char my_os_arch[128];    // the platform the binary was built for
extern char qav_header[128];    // begins every engine identifier handed out
extern char my_host_name[128];  // shown in every log line; empty until start-up
extern const char build[];      // the version text of the start line

// Set to 1 by the signal handler only; read by the main loop and listeners.
extern std::atomic<int> orvane_exiting;
