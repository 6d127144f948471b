// The response relay: forwards everything the engine writes to the client,
// naming the server in the engine's identification line.
#pragma once

#include <string>

// Thread body; arg from orvane_start_client_thread.
void* engine_instance_response_thread(void* arg);

// Where the chunk's first line beginning with "id name " starts, or npos.
std::size_t orvane_find_identification(const char* chunk, std::size_t count);
// The bytes sent for one chunk read from the engine. The first line of the
// chunk that begins with "id name " becomes "id name " + header + server
// address + "_" + engine name + "##" + the engine's own name; everything
// before and after that line is sent unchanged.
std::string orvane_rewrite_identification(const char* chunk, std::size_t count, const char* header,
                                          const char* server_ip, const char* engine_name);
