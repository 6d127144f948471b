#include "service/client_login.h"

#include <stdexcept>

#include "core/err_log.h"
#include "service/client_session.h"
#include "service/process_runner.h"
#include "service/request_relay.h"
#include "service/response_relay.h"

namespace {

const char pipe_prefix[] = "\\\\.\\pipe\\";

// Creates one pipe; raises after its failure line.
os_handle_t create_pipe(const std::string& name, const char* failure_line, const char* error_text) {
    os_handle_t pipe = os_create_named_pipe(name.c_str());
    if (pipe == os_invalid_handle) {
        orvane_write_err_logs_valist(failure_line, name.c_str(), os_last_error());
        throw std::runtime_error(error_text);
    }
    return pipe;
}

}  // namespace

orvane_login_names_t orvane_login_names(const engine_entry_t& entry, const char* client_ip) {
    orvane_login_names_t names;
    names.req_pipe_name = std::string(pipe_prefix) + entry.name + "_req_" + client_ip;
    names.rsp_pipe_name = std::string(pipe_prefix) + entry.name + "_rsp_" + client_ip;
    names.instance_exe = std::string("ovi_") + client_ip + "_" + entry.name + ".exe";
    names.copy_command =
        std::string("cd ") + entry.dir + " && copy " + entry.exe + " " + names.instance_exe;
    return names;
}

int orvane_client_login(engine_entry_t* entry, os_socket_t sock, const char* client_ip,
                        const std::shared_ptr<orvane_socket_set_t>& master_set) {
    // From here the session owns the socket: whatever way the login ends,
    // the last owner closes it once.
    auto client = std::make_shared<orvane_client_t>();
    client->sock = sock;
    client->master_set = master_set;
    orvane_copy_text(client->client_ip, client_ip);
    orvane_copy_text(client->engine_name, entry->name);
    orvane_copy_text(client->engine_dir, entry->dir);
    orvane_copy_text(client->engine_args, entry->args);
    int threads_started = 0;
    try {
        orvane_login_names_t names = orvane_login_names(*entry, client_ip);
        for (const std::string* text :
             {&names.req_pipe_name, &names.rsp_pipe_name, &names.instance_exe}) {
            if (text->size() >= orvane_text_size) {
                throw std::runtime_error("client name longer than 255 characters\n");
            }
        }
        orvane_copy_text(client->req_pipe_name, names.req_pipe_name.c_str());
        orvane_copy_text(client->rsp_pipe_name, names.rsp_pipe_name.c_str());
        orvane_copy_text(client->instance_exe, names.instance_exe.c_str());

        orvane_write_err_logs_valist("Creating request pipe (%s)\n", names.req_pipe_name.c_str());
        client->req_pipe = create_pipe(names.req_pipe_name, "CreateReqPipe (%s) failed, GLE=%d.\n",
                                       "CreateReqPipe failed\n");
        orvane_write_err_logs_valist("Creating response pipe, pipe_name=(%s)\n",
                                     names.rsp_pipe_name.c_str());
        client->rsp_pipe = create_pipe(names.rsp_pipe_name, "CreateRspPipe (%s) failed, GLE=%d.\n",
                                       "CreateRspPipe failed\n");
        orvane_write_err_logs_valist("new engine instance name=(%s)\n", names.instance_exe.c_str());
        if (orvane_wait_for_ending_instance(entry->dir, client->instance_exe)) {
            orvane_write_err_logs_valist(
                "engine instance (%s) of an earlier client was ending: waited for its end\n",
                names.instance_exe.c_str());
        }
        orvane_write_err_logs_valist("copy instance (%s)\n", names.copy_command.c_str());
        int status = os_run_command(names.copy_command);
        if (status != 0) {
            orvane_write_err_logs_valist("ERROR: cmd exec rval=%d\n", status);
            throw std::runtime_error("cmd exec failed\n");
        }

        engine_instance_t fill{};
        fill.sock = sock;
        orvane_copy_text(fill.client_ip, client_ip);
        orvane_copy_text(fill.instance_exe, client->instance_exe);
        fill.req_pipe = client->req_pipe.load();
        fill.rsp_pipe = client->rsp_pipe.load();
        orvane_copy_text(fill.req_pipe_name, client->req_pipe_name);
        orvane_copy_text(fill.rsp_pipe_name, client->rsp_pipe_name);
        fill.master_set = master_set.get();
        client->slot = orvane_claim_instance(entry, fill);
        if (client->slot == nullptr) {
            throw std::runtime_error("no free client slot\n");
        }
        orvane_copy_text(client->server_ip, client->slot->server_ip);
        // UCI is many small lines; a GUI must not wait on write coalescing.
        os_set_no_delay(sock);
        // A GUI whose machine is gone must not hold its slot and engine
        // for the rest of the run.
        os_set_keepalive(sock);

        orvane_write_err_logs_valist("connected socket = %d, from %s\n", static_cast<int>(sock),
                                     client_ip);
        struct thread_step_t {
            void* (*body)(void*);
            const char* failure;
        };
        const thread_step_t steps[] = {
            {engine_instance_request_thread, "Unable to create engine instance request thread\n"},
            {engine_instance_response_thread, "Unable to create engine instance response thread\n"},
            {engine_instance_thread, "Unable to create engine instance thread\n"},
        };
        for (const thread_step_t& step : steps) {
            if (!orvane_start_client_thread(step.body, client)) {
                throw std::runtime_error(step.failure);
            }
            ++threads_started;
        }
    } catch (const std::exception& error) {
        orvane_write_err_logs_valist("<<< ERROR on login for Client (%s, %d) (%s): %s", client_ip,
                                     static_cast<int>(sock), entry->name, error.what());
        // Nothing set up for a refused client stays behind: relays already
        // started stop waiting for their pipes and do the client's end; with
        // none started, the login does it here.
        os_cancel_named_pipe(client->req_pipe.load());
        os_cancel_named_pipe(client->rsp_pipe.load());
        if (threads_started < 2) {
            // No response relay runs to mark its end.
            orvane_client_mark_relay_ended(client.get(), orvane_relay_t::response);
        }
        if (threads_started == 0) {
            orvane_client_leave_set(client.get());
            os_shutdown_socket(sock);
            if (client->slot != nullptr) {
                orvane_release_instance(client->slot);
            }
        }
        orvane_write_err_logs_valist("Client (%s, %d) refused by engine (%s)\n", client_ip,
                                     static_cast<int>(sock), entry->name);
    }
    return 0;
}
