// The request relay: forwards what the client sends into the engine's input
// pipe, each receive with one newline added, and notices the client leaving.
#pragma once

#include <string>

// Thread body; arg from orvane_start_client_thread.
void* engine_instance_request_thread(void* arg);

// The forwarding rule for one receive. A receive is forwarded with one
// newline added; one that fills the whole 1024-byte buffer is part of a
// longer command and goes out as it came, and so does everything up to the
// client's next newline.
struct orvane_request_framer_t {
    bool in_long_command = false;
};
// The bytes to write into the pipe for the received bytes.
std::string orvane_frame_request(orvane_request_framer_t* framer, const char* bytes, long count,
                                 bool filled_buffer);
