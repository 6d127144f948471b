#include "core/engine_registry.h"

#include <cstring>

#include "core/err_log.h"

engine_entry_t engine_tables[orvane_max_engines];
std::mutex orvane_table_lock;
int lock_scan = 0;

namespace {
constexpr unsigned busy_poll_ms = 1000;
}

void orvane_clear_engine_tables() {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    std::memset(static_cast<void*>(engine_tables), 0, sizeof(engine_tables));
}

int orvane_find_engine(const char* name) {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    for (const engine_entry_t& entry : engine_tables) {
        if (entry.in_use != 0 && std::strcmp(entry.name, name) == 0) {
            return 1;
        }
    }
    return 0;
}

engine_entry_t* orvane_add_new_engine(const char* dir, const char* exe, const char* port,
                                      const char* name, const char* args) {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    for (engine_entry_t& entry : engine_tables) {
        if (entry.in_use == 0) {
            entry.in_use = 1;
            orvane_copy_text(entry.dir, dir);
            orvane_copy_text(entry.name, name);
            orvane_copy_text(entry.exe, exe);
            orvane_copy_text(entry.port, port);
            orvane_copy_text(entry.args, args);
            return &entry;
        }
    }
    return nullptr;
}

engine_instance_t* orvane_claim_instance(engine_entry_t* entry, const engine_instance_t& fill) {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    for (engine_instance_t& slot : entry->instances) {
        if (slot.in_use == 0) {
            slot.in_use = 1;
            slot.sock = fill.sock;
            orvane_copy_text(slot.client_ip, fill.client_ip);
            orvane_copy_text(slot.instance_exe, fill.instance_exe);
            slot.engine = entry;
            slot.req_pipe = fill.req_pipe;
            slot.rsp_pipe = fill.rsp_pipe;
            orvane_copy_text(slot.req_pipe_name, fill.req_pipe_name);
            orvane_copy_text(slot.rsp_pipe_name, fill.rsp_pipe_name);
            slot.master_set = fill.master_set;
            os_local_ipv4(slot.sock, slot.server_ip, sizeof(slot.server_ip));
            return &slot;
        }
    }
    return nullptr;
}

void orvane_release_instance(engine_instance_t* slot) {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    slot->in_use = 0;
}

void orvane_busy_acquire(const char* format, int value) {
    std::unique_lock<std::mutex> hold(orvane_table_lock);
    while (lock_scan != 0) {
        hold.unlock();
        os_sleep_ms(busy_poll_ms);
        hold.lock();
    }
    lock_scan = 1;
    orvane_write_err_logs_valist(format, value);
}

void orvane_busy_release(const char* format, int value) {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    lock_scan = 0;
    orvane_write_err_logs_valist(format, value);
}

void orvane_busy_release_quiet() {
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    lock_scan = 0;
}
