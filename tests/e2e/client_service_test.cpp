// End-to-end tests of the client service: a client on an engine's port gets an
// engine process of its own, its commands reach the engine byte for byte, the
// engine's answers come back with the identification naming the server, and
// every client's end gives back what it held. The engine is our scripted test
// engine; its arguments pick what it does.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/agent_harness.h"

namespace {

using e2e::agent_run;
using e2e::tcp_client;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto short_wait = 5000ms;

struct engine_spec_t {
    std::string name;
    std::string args;
};

// Publishes our test engine under each name, starts the server and waits
// until every engine listens. The ports, in the order of the specs.
std::vector<int> serve(agent_run& agent, const std::vector<engine_spec_t>& engines) {
    std::vector<int> ports;
    for (const engine_spec_t& engine : engines) {
        ports.push_back(e2e::free_port());
        agent.add_engine(engine.name, ports.back(), engine.args);
    }
    agent.start_and_wait();
    for (const engine_spec_t& engine : engines) {
        EXPECT_TRUE(agent.wait_console("Engine (" + engine.name + ") waiting for connections"))
            << engine.name << "\n"
            << agent.log();
    }
    // The start-up scan holds the busy flag that a query waits for.
    EXPECT_TRUE(agent.wait_log("<<< Engine scan done"));
    return ports;
}

int serve_one(agent_run& agent, const std::string& name, const std::string& args) {
    return serve(agent, {{name, args}}).front();
}

// A client that the engine has answered: its engine runs and both relays work.
tcp_client served_client(int port, const std::string& source = "",
                         const std::string& host = "127.0.0.1") {
    tcp_client client(port, source, host);
    EXPECT_TRUE(client.connected()) << source;
    client.send("isready\n");
    EXPECT_TRUE(client.read_until("readyok\n")) << source << ": " << client.received();
    client.clear();
    return client;
}

// Whether a new client from source is served within the wait. A freed slot
// is free for a login only once its request relay has ended, a moment
// after the client saw its connection close: a refusal meanwhile is tried
// again.
bool gets_served(int port, const std::string& source, std::vector<tcp_client>* keep) {
    return e2e::eventually(
        [&] {
            tcp_client client(port, source);
            client.send("isready\n");
            if (!client.read_until("readyok\n", short_wait)) {
                return false;
            }
            keep->push_back(std::move(client));
            return true;
        },
        short_wait);
}

// The timer on the server's end of a client's connection, as the kernel
// shows it in /proc/net/tcp: its kind (2 on an idle connection: keepalive)
// and the time left in hundredths of a second. False when not found.
bool server_end_timer(const tcp_client& client, int* kind, long* left) {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return false;
    }
    // The server's end has the client's end as its remote address.
    char remote[32];
    std::snprintf(remote, sizeof(remote), "%08X:%04X", local.sin_addr.s_addr,
                  ntohs(local.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local_address, remote_address, state, queues, timer;
        fields >> slot >> local_address >> remote_address >> state >> queues >> timer;
        if (remote_address == remote && state == "01") {
            *kind = std::stoi(timer.substr(0, timer.find(':')), nullptr, 16);
            *left = std::stol(timer.substr(timer.find(':') + 1), nullptr, 16);
            return true;
        }
    }
    return false;
}

std::string canonical_dir(const agent_run& agent) {
    return fs::canonical(agent.dir()).string();
}

std::string pipe_name(const std::string& engine, const char* kind, const std::string& client) {
    return "\\\\.\\pipe\\" + engine + kind + client;
}

// The engine command line of the process runner for one client.
std::string engine_command(const agent_run& agent, const std::string& engine,
                           const std::string& client, const std::string& argument_text) {
    return "cd " + canonical_dir(agent) + "/" + engine + "/ && ovi_" + client + "_" + engine +
           ".exe" + argument_text + " < " + pipe_name(engine, "_req_", client) + " > " +
           pipe_name(engine, "_rsp_", client);
}

// The rewritten identification prefix.
std::string id_prefix(const std::string& server_ip, const std::string& engine) {
    return "id name QAV_X64WIN_" + server_ip + "_" + engine + "##";
}

const std::string uci_tail =
    "Alpha 3.1\nid author A. Writer\noption name Ponder type check default false\nuciok\n";

// A position command of exactly length bytes, without a line end.
std::string position_command(std::size_t length) {
    const char* cycle[] = {" g1f3", " g8f6", " f3g1", " f6g8"};
    std::string text = "position startpos moves";
    for (std::size_t k = 0; text.size() < length; ++k) {
        text += cycle[k % 4];
    }
    text.resize(length);
    return text;
}

// What the test engine's "big" writes: numbered 64-byte lines cut to size,
// ending in a newline.
std::string big_pattern(std::size_t size) {
    std::string out;
    char line[80];
    for (std::size_t k = 0; out.size() < size; ++k) {
        int n = std::snprintf(line, sizeof(line), "info string big %06zu ", k % 1000000);
        std::string text(line, static_cast<std::size_t>(n));
        text.resize(63, 'x');
        out += text + "\n";
    }
    out.resize(size);
    out.back() = '\n';
    return out;
}

// Index of the first message at or after from that begins with text, or -1.
int find_message(const std::vector<std::string>& messages, const std::string& text, int from = 0) {
    for (int i = from; i < static_cast<int>(messages.size()); ++i) {
        if (messages[i].compare(0, text.size(), text) == 0) {
            return i;
        }
    }
    return -1;
}

// A count of the server's that holds still over a few polls.
int settled(int (*count)(pid_t), pid_t pid) {
    int last = count(pid);
    int same = 0;
    e2e::eventually([&] {
        int now = count(pid);
        same = now == last ? same + 1 : 0;
        last = now;
        return same >= 5;
    });
    return last;
}

// The rest of the first log message that begins with head, within the
// wait; "" when none came.
std::string rest_of_message(const agent_run& agent, const std::string& head) {
    std::string rest;
    e2e::eventually(
        [&] {
            for (const std::string& message : agent.messages()) {
                if (message.compare(0, head.size(), head) == 0) {
                    rest = message.substr(head.size());
                    return true;
                }
            }
            return false;
        },
        short_wait);
    return rest;
}

// Waits for a log message of head, a socket value and tail, as in
// "Client (127.0.0.2, " "12" ") refused by engine (alpha)".
bool wait_socket_message(const agent_run& agent, const std::string& head, const std::string& tail) {
    return e2e::eventually(
        [&] {
            for (const std::string& message : agent.messages()) {
                std::size_t digits = message.find_first_not_of("0123456789", head.size());
                if (message.compare(0, head.size(), head) == 0 && digits > head.size() &&
                    digits != std::string::npos && message.substr(digits) == tail) {
                    return true;
                }
            }
            return false;
        },
        short_wait);
}

bool file_becomes(const std::string& path, const std::string& want) {
    return e2e::eventually([&] { return e2e::read_file(path) == want; }, short_wait);
}

// Each test's server. After the test it must still run, and its standard
// error, where a sanitizer of the server or of an engine reports, is empty
// of reports.
class client_service : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(agent.running());
        const std::string errors = e2e::read_file(agent.dir() + "/stderr.txt");
        EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    }
    agent_run agent;
};

TEST_F(client_service, client_messages_reach_the_engine_byte_for_byte) {
    const std::string record = agent.dir() + "/record.txt";
    int port = serve_one(agent, "alpha", "--raw-reads:--record=" + record);
    tcp_client client(port);
    ASSERT_TRUE(client.connected());

    // Each send waits for the one before it to arrive, so that each is a
    // receive of its own.
    struct case_t {
        const char* what;
        std::string sent;
        std::string arrives;
    };
    const std::string full = position_command(1023) + "\n";  // fills the 1024-byte buffer
    const std::string long_command = position_command(4999) + "\n";
    const std::string long_head = position_command(1024);
    const case_t cases[] = {
        {"a line gets a second newline", "uci\n", "uci\n\n"},
        {"a message without newline gets one", "isready", "isready\n"},
        {"1023 bytes get the newline", full.substr(1), full.substr(1) + "\n"},
        {"a full buffer goes out as it came", full, full},
        {"back to the rule after a full buffer", "isready", "isready\n"},
        {"a 5000-byte command arrives whole", long_command, long_command},
        {"a short command split over two sends: first piece", "isre", "isre\n"},
        {"second piece", "ady", "ady\n"},
        {"a long command split over two sends: head", long_head, long_head},
        {"its tail, up to the newline, no newline added", " e2e4\n", " e2e4\n"},
        {"then the rule again", "go", "go\n"},
    };
    std::string expected;
    for (const case_t& c : cases) {
        client.send(c.sent);
        expected += c.arrives;
        ASSERT_TRUE(file_becomes(record, expected)) << c.what;
    }
    // The engine took the long commands as commands: it answered every
    // isready and go after them, and the split "isre" "ady" was no isready.
    ASSERT_TRUE(client.read_until("bestmove e2e4\n"));
    std::size_t answers = 0;
    for (std::size_t at = client.received().find("readyok"); at != std::string::npos;
         at = client.received().find("readyok", at + 1)) {
        ++answers;
    }
    EXPECT_EQ(answers, 2u) << client.received();
    EXPECT_GE(agent.count_log("received UCI cmd >> uci\n\n"), 1);
    // A piece of a long command is logged on a line of its own: every line
    // prefix starts a line.
    const std::string log = agent.log();
    for (std::size_t at = log.find(" Agent Server["); at != std::string::npos;
         at = log.find(" Agent Server[", at + 1)) {
        const std::size_t line_start = log.rfind('\n', at);
        EXPECT_EQ(at - (line_start == std::string::npos ? 0 : line_start + 1), 19u)
            << log.substr(line_start == std::string::npos ? 0 : line_start + 1, 200);
    }
}

TEST_F(client_service, a_percent_in_a_message_is_logged_literally) {
    int port = serve_one(agent, "alpha", "");
    tcp_client client = served_client(port);
    client.send("setoption name Style value 100%s%d%%\n");
    EXPECT_TRUE(agent.wait_log(
        ", alpha, 127.0.0.1) received UCI cmd >> setoption name Style value 100%s%d%%\n\n"));
}

TEST_F(client_service, identification_is_rewritten_to_name_the_server) {
    struct case_t {
        engine_spec_t engine;
        std::string command;
        std::string answer;  // with @ for the rewritten prefix
    };
    const case_t cases[] = {
        // The 88-byte answer in one write, and the same answer line by line.
        {{"alpha", "--write=block"}, "uci", "@" + uci_tail},
        {{"lines", "--write=lines"}, "uci", "@" + uci_tail},
        // "id name" inside a word is no identification.
        {{"invalid", "--chunk=info\\sstring\\sinvalid\\sname\\sgiven\\n"},
         "chunk",
         "info string invalid name given\n"},
        // A line before the identification in the same write is kept.
        {{"before", "--chunk=info\\sstring\\shello\\nid\\sname\\sAlpha\\n"},
         "chunk",
         "info string hello\n@Alpha\n"},
        // Only the first identification line of a write.
        {{"twice", "--chunk=id\\sname\\sA\\nid\\sname\\sB\\n"}, "chunk", "@A\nid name B\n"},
    };
    std::vector<engine_spec_t> engines;
    for (const case_t& c : cases) {
        engines.push_back(c.engine);
    }
    std::vector<int> ports = serve(agent, engines);
    // 127.100.0.20 is as long as the worked example's 192.168.1.20, so the
    // byte counts match it too.
    const std::string server_ip = "127.100.0.20";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const case_t& c = cases[i];
        tcp_client client(ports[i], "", server_ip);
        ASSERT_TRUE(client.connected());
        client.send(c.command + "\nisready\n");
        ASSERT_TRUE(client.read_until("readyok\n")) << c.engine.name;
        std::string want = c.answer;
        std::size_t at = want.find('@');
        if (at != std::string::npos) {
            want.replace(at, 1, id_prefix(server_ip, c.engine.name));
        }
        EXPECT_EQ(client.received(), want + "readyok\n") << c.engine.name;
    }
    // The worked example: 88 bytes from the engine, 119 to the client.
    EXPECT_EQ(("id name " + uci_tail).size(), 88u);
    EXPECT_EQ((id_prefix(server_ip, "alpha") + uci_tail).size(), 119u);
}

TEST_F(client_service, engine_output_above_8192_bytes_arrives_whole_and_the_relay_goes_on) {
    const std::size_t sizes[] = {20000, 100000};
    std::vector<int> ports = serve(agent, {{"big20k", "--big=20000"}, {"big100k", "--big=100000"}});
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        tcp_client client(ports[i]);
        ASSERT_TRUE(client.connected());
        client.send("big\n");
        ASSERT_TRUE(client.read_until("bigdone\n")) << sizes[i];
        EXPECT_TRUE(client.received() == big_pattern(sizes[i]) + "bigdone\n")
            << sizes[i] << ": got " << client.received().size() << " bytes";
        client.clear();
        client.send("isready\n");
        EXPECT_TRUE(client.read_until("readyok\n")) << sizes[i];
    }
}

TEST_F(client_service, end_lines_log_arguments_and_status) {
    struct case_t {
        engine_spec_t engine;
        std::string command;  // what ends the engine
        std::string argument_text;
        std::string rval;  // or "negative"
    };
    const case_t cases[] = {
        {{"alpha", "--exit=3"}, "quit", " --exit=3 ", "3"},
        {{"crasher", "--crash"}, "crash", " --crash ", "negative"},
        {{"plain", ""}, "quit", "", "0"},
        // A "%" in the name and the arguments is no format.
        {{"pct%d", "--name=100%s%d:--exit=0"}, "quit", " --name=100%s%d --exit=0 ", "0"},
    };
    std::vector<engine_spec_t> engines;
    for (const case_t& c : cases) {
        engines.push_back(c.engine);
    }
    std::vector<int> ports = serve(agent, engines);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const case_t& c = cases[i];
        tcp_client client = served_client(ports[i]);
        client.send(c.command + "\n");
        // The engine's end closes the client's connection.
        EXPECT_TRUE(client.wait_closed(short_wait)) << c.engine.name;
        std::string command = engine_command(agent, c.engine.name, "127.0.0.1", c.argument_text);
        ASSERT_TRUE(agent.wait_log("<<< (" + command + ") is ended, rval=")) << command;
        std::string log = agent.log();
        EXPECT_NE(log.find("] engine args[" + c.engine.args + "]\n"), std::string::npos);
        EXPECT_NE(log.find("] >>> (" + command + ") is launched\n"), std::string::npos);
        std::string rval = rest_of_message(agent, "<<< (" + command + ") is ended, rval=");
        if (c.rval == "negative") {
            EXPECT_TRUE(rval.size() > 1 && rval[0] == '-' &&
                        rval.find_first_not_of("0123456789", 1) == std::string::npos)
                << rval;
        } else {
            EXPECT_EQ(rval, c.rval) << command;
        }
    }
}

TEST_F(client_service, log_order_of_a_login_and_of_both_ends) {
    int port = serve_one(agent, "alpha", "");
    const std::string dir = canonical_dir(agent);
    tcp_client client = served_client(port);
    ASSERT_TRUE(agent.wait_log(") is launched\n"));

    std::vector<std::string> messages = agent.messages();
    int first = find_message(messages, "Engine (alpha)(ServIP:127.0.0.1) received new connection");
    ASSERT_GE(first, 0);
    int connected = find_message(messages, "connected socket = ", first);
    ASSERT_EQ(connected, first + 5) << agent.log();
    const std::string sock = messages[connected].substr(
        std::strlen("connected socket = "),
        messages[connected].find(',') - std::strlen("connected socket = "));
    const std::vector<std::string> login = {
        "Creating request pipe (\\\\.\\pipe\\alpha_req_127.0.0.1)",
        "Creating response pipe, pipe_name=(\\\\.\\pipe\\alpha_rsp_127.0.0.1)",
        "new engine instance name=(ovi_127.0.0.1_alpha.exe)",
        "copy instance (cd " + dir + "/alpha/ && copy alpha.exe ovi_127.0.0.1_alpha.exe)",
        "connected socket = " + sock + ", from 127.0.0.1",
    };
    for (std::size_t i = 0; i < login.size(); ++i) {
        EXPECT_EQ(messages[first + 1 + i], login[i]);
    }
    // The three threads follow, in any order between them; the runner's own
    // lines in its order.
    const std::string four = "client(127.0.0.1, " + sock + ") via (alpha, 127.0.0.1)";
    int req = find_message(messages, ">>> Entered eng_i_req from " + four, connected);
    int rsp = find_message(messages, ">>> Entered eng_i_rsp from " + four, connected);
    int runner = find_message(messages, ">>> Entered eng_i from " + four, connected);
    EXPECT_GT(req, connected);
    EXPECT_GT(rsp, connected);
    ASSERT_GT(runner, connected);
    int args_line = find_message(messages, "engine args[]", runner);
    int launched = find_message(
        messages, ">>> (" + engine_command(agent, "alpha", "127.0.0.1", "") + ") is launched",
        runner);
    EXPECT_GT(args_line, runner);
    EXPECT_GT(launched, args_line);

    // The client's end: the request relay closes, the engine sees its input
    // end, then the runner and the response relay end.
    client.close();
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_i from " + four));
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_i_rsp from " + four));
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_i_req from " + four));
    messages = agent.messages();
    int closing =
        find_message(messages, "Closing (" + sock + ") from client(127.0.0.1) for engine(alpha)");
    int req_exit = find_message(messages, "<<< Exited eng_i_req from " + four);
    int ended = find_message(
        messages, "<<< (" + engine_command(agent, "alpha", "127.0.0.1", "") + ") is ended, rval=0");
    int runner_exit = find_message(messages, "<<< Exited eng_i from " + four);
    int rsp_error = find_message(
        messages, "<<< ERROR on eng_i_rsp for Client (127.0.0.1, " + sock +
                      ") (alpha, 127.0.0.1): ReadFile failed, client disconnected, rval(0), "
                      "rbytes(0), GLE=109.");
    int rsp_exit = find_message(messages, "<<< Exited eng_i_rsp from " + four);
    ASSERT_GE(closing, 0) << agent.log();
    EXPECT_GT(req_exit, closing);
    EXPECT_GT(ended, closing);
    EXPECT_GT(runner_exit, ended);
    EXPECT_GT(rsp_error, closing);
    EXPECT_GT(rsp_exit, rsp_error);

    // The engine's end ("quit"): the response relay ends first, then the
    // client's connection is closed by the server and the request relay ends.
    tcp_client second = served_client(port);
    int from = static_cast<int>(agent.messages().size());
    second.send("quit\n");
    EXPECT_TRUE(second.wait_closed(short_wait));
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_i_req from ", 2));
    messages = agent.messages();
    int rsp_exit_2 = find_message(messages, "<<< Exited eng_i_rsp from ", from);
    int closing_2 = find_message(messages, "Closing (", from);
    ASSERT_GE(rsp_exit_2, 0);
    EXPECT_GT(closing_2, rsp_exit_2);
}

TEST_F(client_service, missing_engine_executable_refuses_the_client_and_the_listener_goes_on) {
    int port = e2e::free_port();
    fs::create_directories(agent.dir() + "/alpha");
    agent.add_conf_line("alpha " + std::to_string(port) + " alpha.exe");
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_console("Engine (alpha) waiting for connections"));
    ASSERT_TRUE(agent.wait_log("<<< Engine scan done"));

    tcp_client refused(port);
    ASSERT_TRUE(refused.connected());
    EXPECT_TRUE(refused.wait_closed(short_wait));
    ASSERT_TRUE(agent.wait_log("refused by engine (alpha)"));
    std::string log = agent.log();
    EXPECT_NE(log.find("] ERROR: cmd exec rval="), std::string::npos);
    EXPECT_TRUE(wait_socket_message(agent, "<<< ERROR on login for Client (127.0.0.1, ",
                                    ") (alpha): cmd exec failed"));
    EXPECT_EQ(log.find("connected socket ="), std::string::npos);
    EXPECT_EQ(log.find("Entered eng_i"), std::string::npos);

    agent.add_engine_files("alpha");
    tcp_client served = served_client(port);
    EXPECT_EQ(agent.count_log("connected socket = "), 1);
}

TEST_F(client_service, clients_from_two_addresses_keep_apart_and_a_third_from_the_same_is_refused) {
    int port = serve_one(agent, "alpha", "--big=30000:--write=block");
    // Each reaches its own server address, so a byte of the other's stream
    // would show in the rewrite.
    tcp_client a(port, "127.0.0.2", "127.0.0.1");
    tcp_client b(port, "127.0.0.3", "127.1.1.1");
    ASSERT_TRUE(a.connected());
    ASSERT_TRUE(b.connected());
    a.send("uci\nbig\nisready\n");
    b.send("uci\nbig\nisready\n");
    const std::string a_wants =
        id_prefix("127.0.0.1", "alpha") + uci_tail + big_pattern(30000) + "bigdone\nreadyok\n";
    const std::string b_wants =
        id_prefix("127.1.1.1", "alpha") + uci_tail + big_pattern(30000) + "bigdone\nreadyok\n";
    ASSERT_TRUE(a.read_until("readyok\n"));
    ASSERT_TRUE(b.read_until("readyok\n"));
    EXPECT_TRUE(a.received() == a_wants) << a.received().substr(0, 200);
    EXPECT_TRUE(b.received() == b_wants) << b.received().substr(0, 200);
    for (const char* file : {"ovi_127.0.0.2_alpha.exe", "ovi_127.0.0.3_alpha.exe"}) {
        EXPECT_TRUE(fs::exists(agent.dir() + "/alpha/" + file)) << file;
    }

    // A second client from a's address while a's engine runs: its copy of
    // the running instance fails, and it is refused without touching a.
    a.clear();
    tcp_client again(port, "127.0.0.2");
    ASSERT_TRUE(again.connected());
    EXPECT_TRUE(again.wait_closed(short_wait));
    EXPECT_TRUE(wait_socket_message(agent, "<<< ERROR on login for Client (127.0.0.2, ",
                                    ") (alpha): cmd exec failed"));
    EXPECT_TRUE(wait_socket_message(agent, "Client (127.0.0.2, ", ") refused by engine (alpha)"));
    EXPECT_EQ(again.received(), "");
    a.send("isready\n");
    ASSERT_TRUE(a.read_until("readyok\n"));
    EXPECT_EQ(a.received(), "readyok\n");
}

TEST_F(client_service, a_client_back_at_once_is_served_when_its_earlier_engine_has_ended) {
    // The engine goes on for a while after its input ends, as an engine that
    // frees a large hash table does.
    int port = serve_one(agent, "alpha", "--ignore-eof:--ignore-eof-ms=700");
    served_client(port, "127.0.0.2").close();
    ASSERT_TRUE(agent.wait_log("Closing ("));
    tcp_client again = served_client(port, "127.0.0.2");
    EXPECT_EQ(agent.count_log("refused by engine"), 0) << agent.log();
    EXPECT_EQ(agent.count_log("engine instance (ovi_127.0.0.2_alpha.exe) of an earlier client was "
                              "ending: waited for its end"),
              1);
}

TEST_F(client_service, sixty_four_clients_a_refused_one_freed_slots_and_nothing_left_open) {
    int port = serve_one(agent, "alpha", "--crash");
    // Idle counts: the log file is open only while a line is written.
    const int fds_before = settled(e2e::count_fds, agent.pid());
    const int threads_before = settled(e2e::count_threads, agent.pid());
    std::vector<tcp_client> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(served_client(port, "127.0.0." + std::to_string(10 + i)));
        ASSERT_TRUE(clients.back().connected()) << i;
    }
    tcp_client refused(port, "127.0.0.74");
    ASSERT_TRUE(refused.connected());
    EXPECT_TRUE(refused.wait_closed(short_wait));
    EXPECT_TRUE(wait_socket_message(agent, "Client (127.0.0.74, ", ") refused by engine (alpha)"));
    EXPECT_EQ(agent.count_log("Entered eng_i_req from client(127.0.0.74,"), 0);

    // An engine that ends, by "quit" or by a crash, closes its client's
    // connection and frees the slot: with all others taken, a new client
    // is served only in that slot.
    for (const char* command : {"quit", "crash"}) {
        clients.front().send(std::string(command) + "\n");
        EXPECT_TRUE(clients.front().wait_closed(short_wait)) << command;
        clients.erase(clients.begin());
        const std::string source = command == std::string("quit") ? "127.0.0.74" : "127.0.0.75";
        EXPECT_TRUE(gets_served(port, source, &clients)) << command;
    }
    EXPECT_EQ(clients.size(), 64u);
    clients.front().send("isready\n");
    EXPECT_TRUE(clients.front().read_until("readyok\n"));

    clients.clear();
    refused.close();
    EXPECT_TRUE(e2e::eventually([&] {
        return e2e::count_fds(agent.pid()) == fds_before &&
               e2e::count_threads(agent.pid()) == threads_before;
    })) << "descriptors "
        << e2e::count_fds(agent.pid()) << " (" << fds_before << "), threads "
        << e2e::count_threads(agent.pid()) << " (" << threads_before << ")";
    EXPECT_EQ(agent.count_log("<<< Exited eng_i_req from "), 66);
}

TEST_F(client_service, a_low_inherited_descriptor_limit_does_not_bound_the_clients) {
    // Forty clients hold some 120 descriptors in the server: without raising
    // the limit it starts with, an accept would fail and end the listener.
    agent.limit_descriptors(64);
    int port = serve_one(agent, "alpha", "");
    std::vector<tcp_client> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(served_client(port, "127.0.0." + std::to_string(10 + i)));
        ASSERT_TRUE(clients.back().connected()) << i;
    }
    EXPECT_EQ(agent.count_log("ERROR"), 0) << agent.log();
}

TEST_F(client_service, the_engine_holds_only_its_standard_streams) {
    const std::string fds = agent.dir() + "/fds.txt";
    int port = serve_one(agent, "alpha", "--fds=" + fds);
    // The second engine is started while the first client's pipes and
    // socket are open: none of them may leak into it.
    tcp_client other = served_client(port, "127.0.0.2");
    tcp_client client = served_client(port, "127.0.0.3");
    EXPECT_EQ(e2e::read_file(fds), "0\n1\n2\n");
}

TEST_F(client_service, a_client_that_ends_only_its_sending_side_gets_every_answer) {
    // As a script does that pipes its commands into the connection.
    int port = serve_one(agent, "alpha", "");
    tcp_client client(port, "127.0.0.2");
    ASSERT_TRUE(client.connected());
    client.send("uci\nisready\n");
    ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
    EXPECT_TRUE(client.wait_closed(short_wait));
    EXPECT_EQ(client.received(), id_prefix("127.0.0.1", "alpha") + uci_tail + "readyok\n");
    EXPECT_TRUE(agent.wait_log("<<< Exited eng_i_req from client(127.0.0.2, "));
}

TEST_F(client_service, the_engines_last_output_reaches_a_client_that_goes_on_sending) {
    const long big = 3000000;
    int port = serve_one(agent, "alpha", "--big=" + std::to_string(big));
    tcp_client client = served_client(port, "127.0.0.2");
    client.send("big\nquit\n");
    // The engine has ended and all its output is queued towards the client,
    // which sends again before reading it: that must not reset the
    // connection under the output.
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_i_rsp from client(127.0.0.2, "));
    client.send("isready\n");
    EXPECT_TRUE(client.wait_closed(short_wait));
    EXPECT_EQ(client.received().size(), static_cast<std::size_t>(big) + std::strlen("bigdone\n"));
    EXPECT_EQ(client.received().substr(client.received().size() - 8), "bigdone\n");
    // The client leaves on the end, and its slot is free again at once.
    client.close();
    EXPECT_TRUE(agent.wait_log("<<< Exited eng_i_req from client(127.0.0.2, "));
    std::vector<tcp_client> next;
    EXPECT_TRUE(gets_served(port, "127.0.0.2", &next));
}

TEST_F(client_service, an_idle_client_connection_is_probed) {
    int port = serve_one(agent, "alpha", "");
    tcp_client client = served_client(port, "127.0.0.2");
    // Once the last answer is acknowledged, the only timer left on the
    // server's end is the keepalive timer, a minute away.
    int kind = 0;
    long left = 0;
    EXPECT_TRUE(e2e::eventually([&] {
        return server_end_timer(client, &kind, &left) && kind == 2 && left > 5000;
    })) << "timer kind " << kind << ", " << left << " hundredths left";
}

TEST_F(client_service, a_reset_mid_stream_leaves_the_server_serving) {
    int port = serve_one(agent, "alpha", "--big=100000");
    tcp_client client = served_client(port, "127.0.0.2");
    client.send("big\n");
    ASSERT_TRUE(client.read_until("info string big 000010"));
    client.reset();
    EXPECT_TRUE(agent.wait_log("<<< Exited eng_i_rsp from client(127.0.0.2, "));
    EXPECT_TRUE(agent.wait_log("<<< Exited eng_i_req from client(127.0.0.2, "));
    // Its engine is gone once the runner is: then the address may log in again.
    EXPECT_TRUE(agent.wait_log("<<< Exited eng_i from client(127.0.0.2, "));
    EXPECT_TRUE(agent.running());
    tcp_client next = served_client(port, "127.0.0.2");
    next.send("uci\n");
    EXPECT_TRUE(next.read_until("uciok\n"));
}

}  // namespace
