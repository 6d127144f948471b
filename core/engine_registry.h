// The engine registry: which engines are published (32 entries) and which
// clients each one serves (64 instance slots per entry), in one static
// table guarded by orvane_table_lock. The same lock guards the busy flag
// lock_scan, which keeps configuration scans and table reports apart.
#pragma once

#include <cstdint>
#include <mutex>

#include "core/text.h"
#include "platform/platform.h"

constexpr int orvane_max_engines = 32;
constexpr int orvane_max_instances = 64;

struct orvane_socket_set_t;  // a listener's master set (net/socket_set.h)
struct engine_entry_t;

// One connected client of one engine.
struct engine_instance_t {
    std::int32_t in_use;                   // 1 while claimed
    char req_pipe_name[orvane_text_size];  // the engine's input pipe
    char rsp_pipe_name[orvane_text_size];  // the engine's output pipe
    os_handle_t req_pipe;                  // server end of the request pipe
    os_handle_t rsp_pipe;                  // server end of the response pipe
    os_socket_t sock;                      // the client's connection
    char client_ip[orvane_text_size];      // the client's numeric address
    char server_ip[orvane_text_size];      // the server address the client reached
    char instance_exe[orvane_text_size];   // the client's copy of the executable
    engine_entry_t* engine;                // the entry that owns this slot
    orvane_socket_set_t* master_set;       // the engine listener's master set
};

// One published engine; also, filled only in its texts, the launch record
// that a scan hands to a launch thread.
struct engine_entry_t {
    std::int32_t in_use;          // 1 once published; never cleared
    char dir[orvane_text_size];   // engine directory, ending with a separator
    char name[orvane_text_size];  // the registry key
    char exe[orvane_text_size];   // executable file name
    char port[orvane_text_size];  // port text as configured
    char args[orvane_text_size];  // arguments, separated by ':'
    engine_instance_t instances[orvane_max_instances];
};

// ---- Registry globals ----------------------------------------------------------
extern engine_entry_t engine_tables[orvane_max_engines];
extern std::mutex orvane_table_lock;
extern int lock_scan;  // 1 while a scan or a report runs; under orvane_table_lock

// Clears every entry and slot.
void orvane_clear_engine_tables();
// 1 when an entry in use has exactly this name, else 0.
int orvane_find_engine(const char* name);
// Enters an engine in the first free entry; null when all 32 are in use.
engine_entry_t* orvane_add_new_engine(const char* dir, const char* exe, const char* port,
                                      const char* name, const char* args);

// Claims the lowest free slot of an entry and fills it from the given
// record (every field but in_use), reading server_ip from the socket last,
// all under orvane_table_lock. Null when all 64 slots are in use.
engine_instance_t* orvane_claim_instance(engine_entry_t* entry, const engine_instance_t& fill);
// Frees a slot: clears in_use under orvane_table_lock and nothing else.
void orvane_release_instance(engine_instance_t* slot);

// Busy flag. Acquire waits in 1000 ms steps, then writes the holder's line
// (format with the one value) while still holding the table lock.
void orvane_busy_acquire(const char* format, int value);
// Release after normal completion, with the holder's line under the lock.
void orvane_busy_release(const char* format, int value);
// Release after a failure: no line; the holder logs its error afterwards.
void orvane_busy_release_quiet();
