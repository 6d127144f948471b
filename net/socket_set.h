// A socket set: a count and at most 64 handles, members in the order they
// were added. The same record on every platform.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/platform.h"

constexpr unsigned orvane_set_capacity = 64;

struct orvane_socket_set_t {
    std::uint32_t count;                       // members, 0 to 64
    os_socket_t handles[orvane_set_capacity];  // the first count are members
};

// Adds a socket that is not yet a member, if the set has room; a full set
// refuses it silently. Returns true when the socket is a member afterwards.
bool socket_set_add(orvane_socket_set_t* set, os_socket_t sock);
// Removes the first match, keeping the order of the others.
void socket_set_remove(orvane_socket_set_t* set, os_socket_t sock);
int socket_set_contains(const orvane_socket_set_t* set, os_socket_t sock);

// Engine listeners share their master sets with their clients' request
// relays; every change to such a set and every copy of it is made under this.
extern std::mutex orvane_master_set_lock;
