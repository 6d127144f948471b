#include "net/socket_set.h"

std::mutex orvane_master_set_lock;

bool socket_set_add(orvane_socket_set_t* set, os_socket_t sock) {
    if (socket_set_contains(set, sock) != 0) {
        return true;
    }
    if (set->count >= orvane_set_capacity) {
        return false;
    }
    set->handles[set->count++] = sock;
    return true;
}

void socket_set_remove(orvane_socket_set_t* set, os_socket_t sock) {
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (set->handles[i] == sock) {
            for (std::uint32_t j = i + 1; j < set->count; ++j) {
                set->handles[j - 1] = set->handles[j];
            }
            --set->count;
            return;
        }
    }
}

int socket_set_contains(const orvane_socket_set_t* set, os_socket_t sock) {
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (set->handles[i] == sock) {
            return 1;
        }
    }
    return 0;
}
