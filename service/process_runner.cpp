#include "service/process_runner.h"

#include <cstring>
#include <stdexcept>

#include "core/err_log.h"
#include "service/client_session.h"

std::string orvane_argument_text(const char* args) {
    std::string text;
    if (args[0] == '\0') {
        return text;
    }
    text = " ";
    for (const char* p = args; *p != '\0'; ++p) {
        text.push_back(*p == ':' ? ' ' : *p);
    }
    text.push_back(' ');
    return text;
}

std::string orvane_engine_command(const char* dir, const char* instance_exe, const char* args,
                                  const char* req_pipe_name, const char* rsp_pipe_name) {
    return std::string("cd ") + dir + " && " + instance_exe + orvane_argument_text(args) + " < " +
           req_pipe_name + " > " + rsp_pipe_name;
}

namespace {

// Runs the command; while it runs, the session counts as one whose engine
// runs from its instance file, also if the call fails.
int run_engine(orvane_client_t* client, const std::string& command) {
    struct running_t {
        orvane_client_t* client;
        ~running_t() { orvane_client_engine_ended(client); }
    };
    orvane_client_engine_starts(client);
    running_t running{client};
    return os_run_command(command);
}

}  // namespace

void* engine_instance_thread(void* arg) {
    orvane_client_ptr client = orvane_client_from_arg(arg);
    const int sock_value = static_cast<int>(client->sock);
    orvane_write_err_logs_valist(">>> Entered eng_i from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    try {
        orvane_write_err_logs_valist("engine args[%s]\n", client->engine_args);
        std::string command =
            orvane_engine_command(client->engine_dir, client->instance_exe, client->engine_args,
                                  client->req_pipe_name, client->rsp_pipe_name);
        orvane_write_err_logs(">>> (" + command + ") is launched\n");
        int status = run_engine(client.get(), command);
        orvane_write_err_logs("<<< (" + command + ") is ended, rval=" + std::to_string(status) +
                              "\n");
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on eng_i for Client (%s, %d) (%s, %s): %s",
                                     client->client_ip, sock_value, client->engine_name,
                                     client->server_ip, error.what());
    }
    orvane_write_err_logs_valist("<<< Exited eng_i from client(%s, %d) via (%s, %s)\n",
                                 client->client_ip, sock_value, client->engine_name,
                                 client->server_ip);
    // An engine that never opened its pipes (its directory was gone, say)
    // must not leave the relays waiting for them.
    os_cancel_named_pipe(client->req_pipe.load());
    os_cancel_named_pipe(client->rsp_pipe.load());
    return nullptr;
}
