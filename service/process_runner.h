// The engine process runner: runs the client's copy of the engine in the
// engine directory with its input and output bound to the client's pipes,
// and logs the command line and its status.
#pragma once

#include <string>

// Thread body; arg from orvane_start_client_thread.
void* engine_instance_thread(void* arg);

// The argument text: empty for an empty field, else a blank, each
// ':'-separated word followed by one blank.
std::string orvane_argument_text(const char* args);
// "cd DIR && EXE ARGS < REQ > RSP".
std::string orvane_engine_command(const char* dir, const char* instance_exe, const char* args,
                                  const char* req_pipe_name, const char* rsp_pipe_name);
