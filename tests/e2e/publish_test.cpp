// Publishing engines: the configuration scan at start-up, the launch
// threads, the engine listeners, and their failure paths.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/e2e/agent_harness.h"

namespace {

using e2e::agent_run;
using e2e::tcp_client;

// Index of the first message containing text at or after from; -1 if none.
int find_message(const std::vector<std::string>& messages, const std::string& text, int from = 0) {
    for (int i = from; i < static_cast<int>(messages.size()); ++i) {
        if (messages[i].find(text) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

// Asserts that the texts appear in this order in the log.
void expect_in_order(const agent_run& agent, const std::vector<std::string>& texts) {
    std::vector<std::string> messages = agent.messages();
    int at = 0;
    for (const std::string& text : texts) {
        int found = find_message(messages, text, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << text << "\n" << agent.log();
        at = found + 1;
    }
}

// Seconds of CPU the process has used (user and system).
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(publish, every_engine_listens_and_duplicates_open_nothing) {
    agent_run agent;
    int ports[3] = {e2e::free_port(), e2e::free_port(), e2e::free_port()};
    agent.add_engine("alpha", ports[0]);
    agent.add_engine("beta", ports[1], "-t");
    agent.add_conf_line("alpha " + std::to_string(ports[2]) + " alpha.exe");  // a duplicate
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_console("Engine (beta) waiting for connections..."));
    ASSERT_TRUE(agent.wait_log("<<< Engine scan done, lock released by client socket"));
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_launch for engine(alpha)"));
    expect_in_order(agent,
                    {">>> Client socket (0) acquired lock to scan/load engine...",
                     "Engine n(alpha) p(" + std::to_string(ports[0]) + ") exe(alpha.exe) arg()",
                     ">>> Entered eng_launch (alpha)", "Launching new engine (alpha)",
                     ">>> Engine (alpha) creating listening socket...",
                     "Engine n(beta) p(" + std::to_string(ports[1]) + ") exe(beta.exe) arg(-t)",
                     "<<< Engine scan done, lock released by client socket"});
    expect_in_order(agent, {">>> Entered eng_launch (alpha)", ">>> Entered eng_launch (alpha)",
                            "Engine (alpha) exist!", "<<< Exited eng_launch for engine(alpha)"});
    EXPECT_EQ(agent.count_log("Launching new engine (alpha)"), 1);
    for (int port : {ports[0], ports[1]}) {
        tcp_client client(port);
        EXPECT_TRUE(client.connected()) << port;
    }
    EXPECT_FALSE(tcp_client(ports[2]).connected());
    std::string console = agent.console();
    EXPECT_EQ(console.find("Engine (alpha) waiting"), console.rfind("Engine (alpha) waiting"));
    EXPECT_EQ(agent.stop(SIGINT), SIGINT);
}

TEST(publish, a_held_port_fails_at_bind_and_leaves_the_registry_unchanged) {
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t length = sizeof(address);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    int port = ntohs(address.sin_port);

    agent_run agent;
    agent.add_engine("alpha", port);
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_log("<<< Engine (alpha) closing listening socket..."));
    expect_in_order(
        agent, {"Engine (alpha) bind() failed. (98)", "<<< ERROR on engine socket: bind() failed",
                "<<< Engine (alpha) closing listening socket...",
                "<<< Exited eng_launch for engine(alpha)"});
    EXPECT_EQ(agent.console().find("Engine (alpha)"), std::string::npos);
    close(holder);
    // Not registered: a rescan would try it again. The report shows no engine.
    if (agent.has_management()) {
        tcp_client manager(53350);
        manager.send("query");
        ASSERT_TRUE(manager.read_until("<<<querydone\n\n"));
        EXPECT_EQ(manager.received().find("Engine(alpha)"), std::string::npos);
    }
}

TEST(publish, a_port_given_as_a_service_name_listens_on_that_port) {
    // A service from the resolver's list whose port is free here.
    std::ifstream services("/etc/services");
    std::string name;
    int port = 0;
    for (std::string line; std::getline(services, line) && port == 0;) {
        std::istringstream fields(line);
        std::string service;
        std::string port_proto;
        if (!(fields >> service >> port_proto) || service[0] == '#') {
            continue;
        }
        std::size_t slash = port_proto.find("/tcp");
        if (slash == std::string::npos) {
            continue;
        }
        int candidate = std::atoi(port_proto.substr(0, slash).c_str());
        if (candidate > 10000 && !tcp_client(candidate).connected()) {
            name = service;
            port = candidate;
        }
    }
    if (port == 0) {
        GTEST_SKIP() << "no free service port in /etc/services";
    }
    agent_run agent;
    agent.add_engine_files("alpha");
    agent.add_conf_line("alpha " + name + " alpha.exe");
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_console("Engine (alpha) waiting for connections..."));
    tcp_client client(port);
    EXPECT_TRUE(client.connected()) << name << " " << port;
}

TEST(publish, an_unknown_port_text_is_refused_with_a_line) {
    agent_run agent;
    agent.add_engine_files("alpha");
    agent.add_conf_line("alpha no-such-service-here alpha.exe");
    agent.add_conf_line("delta");
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_launch for engine(delta)"));
    ASSERT_TRUE(agent.wait_log("<<< Exited eng_launch for engine(alpha)"));
    expect_in_order(agent, {"Engine (alpha) port (no-such-service-here) does not resolve.",
                            "<<< ERROR on engine socket: getaddrinfo() failed",
                            "<<< Engine (alpha) closing listening socket..."});
    // A bare name: no port, executable ".exe"; launched and refused the same way.
    expect_in_order(agent,
                    {" doesn't have exe", "Engine n(delta) p() exe(.exe) arg()",
                     "Launching new engine (delta)", "Engine (delta) port () does not resolve."});
    EXPECT_TRUE(agent.running());
}

TEST(publish, no_configuration_file_the_server_idles_with_the_busy_flag_free) {
    agent_run agent;
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_log(">>> Client socket (0) acquired lock to scan/load engine..."));
    if (agent.has_management()) {
        tcp_client manager(53350);
        manager.send("query");
        EXPECT_TRUE(manager.read_until("<<<querydone\n\n", std::chrono::milliseconds(5000)));
    }
    EXPECT_EQ(agent.count_log("ERROR"), 0) << agent.log();
    EXPECT_TRUE(agent.running());
}

TEST(publish, an_unread_client_connection_costs_the_listener_no_cpu) {
    agent_run agent;
    int port = e2e::free_port();
    // An engine that never reads its input: the client's bytes stay unread
    // in the socket once the pipe is full.
    agent.add_engine_files("sleepy", "/bin/sleep");
    agent.add_conf_line("sleepy " + std::to_string(port) + " sleepy.exe 20");
    agent.start_and_wait();
    ASSERT_TRUE(agent.wait_console("Engine (sleepy) waiting for connections..."));
    tcp_client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(agent.wait_log("is launched"));
    // Fill the pipe and the socket buffers without blocking: the rest stays
    // unread in the server's socket.
    ASSERT_TRUE(agent.wait_log("Entered eng_i_req"));
    std::string bulk(64 * 1024, 'x');
    std::size_t accepted = 0;
    for (int round = 0; round < 200; ++round) {
        ssize_t n = ::send(client.fd(), bulk.data(), bulk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        accepted += static_cast<std::size_t>(n);
    }
    ASSERT_GT(accepted, 128u * 1024u);
    ASSERT_TRUE(agent.wait_log("received UCI cmd"));
    double before = cpu_seconds(agent.pid());
    timespec two_seconds{2, 0};
    nanosleep(&two_seconds, nullptr);  // the measured interval itself
    double used = cpu_seconds(agent.pid()) - before;
    EXPECT_LT(used, 0.3) << "CPU seconds used while idle with unread client data";
}

}  // namespace
