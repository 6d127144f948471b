// Publishing one engine: the launch thread that a scan starts for every
// engine line, and the engine listener it becomes for a new engine.
#pragma once

// Thread body; arg is the heap launch record (engine_entry_t), owned from here.
void* engine_launch_thread(void* arg);
// Opens the engine's port, enters it in the registry and serves logins until
// the stop flag or a failure. Returns 0 on every path.
int orvane_engine_socket(const char* dir, const char* exe, const char* port, const char* name,
                         const char* args);
