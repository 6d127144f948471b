// The management port end to end: "scan" and "query" against a running
// server, the commands that are not exact, connection handling, the busy
// flag between a scan and a report, a second server without management,
// the limits of the connection set and of the engine table, a client that
// never reads, and the agentctl client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/agent_harness.h"

namespace {

using e2e::agent_run;
using e2e::eventually;
using e2e::tcp_client;
using namespace std::chrono_literals;

constexpr int management_port = 53350;
const std::string scan_mark("scanisdone\0", 11);
const std::string query_mark = "================================<<<querydone\n\n";

// Starts the server and requires that it, and not some other server on this
// machine, listens on the management port.
::testing::AssertionResult up_with_management(agent_run& agent) {
    agent.start_and_wait();
    if (!agent.has_management()) {
        return ::testing::AssertionFailure()
               << "port " << management_port << " is held by another server; run again\n"
               << agent.log();
    }
    return ::testing::AssertionSuccess();
}

// Sends one command in one send and reads the reply up to its closing mark.
std::string command(tcp_client& client, const std::string& bytes, const std::string& mark,
                    std::chrono::milliseconds limit = e2e::default_wait) {
    client.clear();
    client.send(bytes);
    if (!client.read_until(mark, limit)) {
        return "(reply incomplete) " + client.received();
    }
    return client.received();
}

std::string query(tcp_client& client) {
    return command(client, "query", query_mark);
}
std::string scan(tcp_client& client) {
    return command(client, "scan", scan_mark);
}

int count_in(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Queries until the report holds part count times and returns that report.
// An engine enters the registry a moment after its listener printed its
// line, so the console alone does not tell that it is listed.
std::string query_until(tcp_client& client, const std::string& part, int count = 1) {
    std::string report;
    eventually([&] {
        report = query(client);
        return count_in(report, part) >= count;
    });
    return report;
}

std::string host_name() {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

// The report's first two lines. The architecture text is the platform's
// own, so only its form is checked; the host name must be this machine's.
std::string header_of(const std::string& report) {
    const std::string head =
        "\n===== Engine Table Entries from Server (" + host_name() + ") OS-ARCH (";
    const std::string tail = ")  =====\n";
    std::size_t line_end = report.find('\n', 1);
    if (line_end == std::string::npos || report.compare(0, head.size(), head) != 0 ||
        line_end + 1 < head.size() + 1 + tail.size() ||
        report.compare(line_end + 1 - tail.size(), tail.size(), tail) != 0) {
        return "(no valid header)";
    }
    return report.substr(0, line_end + 1);
}

std::string engine_block(const agent_run& agent, const std::string& name, int port,
                         const std::string& clients = "") {
    return "Engine(" + name + ") TCP Port(" + std::to_string(port) + ")\n" +
           "   Executable On Server(" + agent.dir() + "/" + name + "/" + name + ".exe)\n" +
           "   Connected Users:\n" + clients;
}

std::string reply_line(const std::string& server_ip, int port, const std::string& name) {
    return "QAV_X64WIN_" + server_ip + "_" + std::to_string(port) + "_" + name + "\n";
}

// Where the nth occurrence of part begins; npos when there are fewer.
std::size_t position(const std::string& text, const std::string& part, int nth = 1) {
    std::size_t at = std::string::npos;
    for (int i = 0; i < nth; ++i) {
        at = text.find(part, at == std::string::npos ? 0 : at + 1);
        if (at == std::string::npos) {
            break;
        }
    }
    return at;
}

// The number that follows the last occurrence of head in the log.
int number_after_last(const agent_run& agent, const std::string& head) {
    std::string log = agent.log();
    std::size_t at = log.rfind(head);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + head.size());
}

// The server's socket value for the connection whose query began last.
int last_query_socket(const agent_run& agent) {
    std::string log = agent.log();
    std::size_t at = log.rfind(") acquired lock to query engine...");
    std::size_t open = at == std::string::npos ? at : log.rfind('(', at);
    return open == std::string::npos ? -1 : std::atoi(log.c_str() + open + 1);
}

std::string query_lock_line(int sock) {
    return ">>> Client socket (" + std::to_string(sock) + ") acquired lock to query engine...";
}

TEST(management, scan_answers_each_engine_line_in_file_order_then_the_mark) {
    agent_run agent;
    ASSERT_TRUE(up_with_management(agent));  // no configuration file yet
    const int gamma = e2e::free_port();
    const int alpha = e2e::free_port();
    const int beta = e2e::free_port();
    agent.add_conf_line("# engines");
    agent.add_engine("gamma", gamma);
    agent.add_conf_line("");
    agent.add_conf_line("  delta 1 delta.exe");  // begins with blanks: not an engine line
    agent.add_engine("alpha", alpha);
    agent.add_engine("beta", beta);

    tcp_client first(management_port);
    ASSERT_TRUE(first.connected());
    EXPECT_EQ(scan(first), reply_line("127.0.0.1", gamma, "gamma") +
                               reply_line("127.0.0.1", alpha, "alpha") +
                               reply_line("127.0.0.1", beta, "beta") + scan_mark);
    // All three are published, in the order of the file.
    std::string report = query_until(first, "\nEngine(", 3);
    EXPECT_EQ(report, header_of(report) + engine_block(agent, "gamma", gamma) + "\n" +
                          engine_block(agent, "alpha", alpha) + "\n" +
                          engine_block(agent, "beta", beta) + query_mark);

    // Again, over another loopback address: every line is answered again,
    // with the address this connection reached, and nothing new is opened.
    tcp_client second(management_port, "", "127.0.0.2");
    ASSERT_TRUE(second.connected());
    EXPECT_EQ(scan(second), reply_line("127.0.0.2", gamma, "gamma") +
                                reply_line("127.0.0.2", alpha, "alpha") +
                                reply_line("127.0.0.2", beta, "beta") + scan_mark);
    EXPECT_TRUE(agent.wait_log("[MGMT] Local IP is (127.0.0.2)"));
    for (const char* name : {"gamma", "alpha", "beta"}) {
        EXPECT_TRUE(agent.wait_log(std::string("Engine (") + name + ") exist!"));
        EXPECT_EQ(
            agent.count_log(std::string(">>> Engine (") + name + ") creating listening socket"), 1);
    }
    EXPECT_EQ(agent.count_log("delta"), 0);
}

TEST(management, commands_that_are_not_exact_are_only_logged) {
    agent_run agent;
    const int alpha = e2e::free_port();
    agent.add_engine("alpha", alpha);
    ASSERT_TRUE(up_with_management(agent));
    tcp_client reference_client(management_port);
    const std::string reference = query_until(reference_client, "Engine(alpha)");
    ASSERT_EQ(reference, header_of(reference) + engine_block(agent, "alpha", alpha) + query_mark);

    struct case_t {
        const char* what;
        std::vector<std::string> sends;  // each arrives in a receive of its own
    };
    const case_t cases[] = {
        {"with a line feed", {"scan\n"}},
        {"in capitals", {"SCAN"}},
        {"after a blank", {" scan"}},
        {"split over two sends", {"sc", "an"}},
        {"query and scan in one send", {"queryscan"}},
        {"query with a line feed", {"query\n"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.what);
        tcp_client client(management_port);
        ASSERT_TRUE(client.connected());
        for (const std::string& bytes : c.sends) {
            const std::string logged = "[MGMT] received cmd=" + bytes + "\n";
            int before = agent.count_log(logged);
            client.send(bytes);
            // The next bytes go out only once these have been read alone.
            ASSERT_TRUE(agent.wait_log(logged, before + 1));
        }
        // The barrier: had anything been answered, it would come before the
        // report on this connection.
        EXPECT_EQ(query(client), reference);
    }
    EXPECT_EQ(agent.count_log("acquired lock to scan/load engine"), 1);  // the start-up scan
    EXPECT_EQ(agent.count_log("[MGMT] Local IP is"), 0);
}

TEST(management, several_commands_on_one_connection_are_answered_in_turn) {
    agent_run agent;
    const int alpha = e2e::free_port();
    agent.add_engine("alpha", alpha);
    ASSERT_TRUE(up_with_management(agent));
    const std::string scan_reply = reply_line("127.0.0.1", alpha, "alpha") + scan_mark;

    tcp_client client(management_port);
    ASSERT_TRUE(client.connected());
    std::string first = query_until(client, "Engine(alpha)");
    EXPECT_EQ(first, header_of(first) + engine_block(agent, "alpha", alpha) + query_mark);
    EXPECT_EQ(scan(client), scan_reply);
    // A zero byte ends the command text: what follows it does not count.
    EXPECT_EQ(command(client, std::string("scan\0tail", 9), scan_mark), scan_reply);
    EXPECT_EQ(query(client), first);
    // The text before the zero byte is what the log shows.
    EXPECT_EQ(agent.count_log("[MGMT] received cmd=scan\n"), 2);
}

TEST(management, a_client_that_leaves_is_logged_and_its_socket_closed) {
    agent_run agent;
    ASSERT_TRUE(up_with_management(agent));
    const int baseline_fds = e2e::count_fds(agent.pid());
    struct case_t {
        const char* what;
        bool query_first;
        bool reset;
    };
    const case_t cases[] = {
        {"closes without sending", false, false},
        {"closes after a query", true, false},
        {"resets after a query", true, true},
    };
    int connections = 0;
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.what);
        tcp_client client(management_port);
        ASSERT_TRUE(client.connected());
        ++connections;
        ASSERT_TRUE(agent.wait_log("[MGMT] Received new connection from 127.0.0.1 via 127.0.0.1\n",
                                   connections));
        std::string closing = "[MGMT] closing socket (";
        if (c.query_first) {
            ASSERT_NE(query(client).find(query_mark), std::string::npos);
            closing += std::to_string(last_query_socket(agent)) + ")\n";
        }
        int before = agent.count_log(closing);
        if (c.reset) {
            client.reset();
        } else {
            client.close();
        }
        EXPECT_TRUE(agent.wait_log(closing, before + 1));
        EXPECT_TRUE(eventually([&] { return e2e::count_fds(agent.pid()) == baseline_fds; }))
            << e2e::count_fds(agent.pid()) << " descriptors open, " << baseline_fds << " before";
    }
    EXPECT_EQ(agent.count_log("[MGMT] closing socket ("), 3);
}

TEST(management, query_reports_engines_and_their_clients_exactly) {
    agent_run agent;
    const int alpha = e2e::free_port();
    const int beta = e2e::free_port();
    agent.add_engine("alpha", alpha);
    ASSERT_TRUE(up_with_management(agent));
    tcp_client manager(management_port);
    ASSERT_TRUE(manager.connected());
    // beta is published after alpha, so it takes the second table entry.
    query_until(manager, "Engine(alpha)");
    agent.add_engine("beta", beta);
    ASSERT_EQ(scan(manager), reply_line("127.0.0.1", alpha, "alpha") +
                                 reply_line("127.0.0.1", beta, "beta") + scan_mark);
    query_until(manager, "Engine(beta)");

    tcp_client user(alpha);
    ASSERT_TRUE(user.connected());
    ASSERT_TRUE(agent.wait_log("connected socket = "));
    const int sock = number_after_last(agent, "connected socket = ");
    std::string report = query(manager);
    EXPECT_EQ(report,
              header_of(report) +
                  engine_block(agent, "alpha", alpha,
                               "      * Client IP[127.0.0.1] Socket(" + std::to_string(sock) +
                                   ") Server IP[127.0.0.1] Engine "
                                   "Instance(ovi_127.0.0.1_alpha.exe)\n") +
                  "\n" + engine_block(agent, "beta", beta) + query_mark);

    // Once the client has left (its slot is freed last), alpha shows only
    // its three lines.
    user.close();
    EXPECT_TRUE(eventually([&] {
        report = query(manager);
        return report.find("* Client IP[") == std::string::npos;
    }));
    EXPECT_EQ(report, header_of(report) + engine_block(agent, "alpha", alpha) + "\n" +
                          engine_block(agent, "beta", beta) + query_mark);
}

TEST(management, without_a_configuration_file_scan_sends_nothing_and_query_answers) {
    agent_run agent;
    ASSERT_TRUE(up_with_management(agent));
    tcp_client client(management_port);
    ASSERT_TRUE(client.connected());
    client.send("scan");
    ASSERT_TRUE(agent.wait_log("[MGMT] Local IP is (127.0.0.1)"));
    // The busy flag is free again: the query is answered, and it is the
    // first thing this connection receives.
    std::string report = query(client);
    EXPECT_EQ(report, header_of(report) + query_mark);
    EXPECT_TRUE(agent.wait_log("<<< Engine query done, lock released by client socket " +
                               std::to_string(last_query_socket(agent)) + ".\n"));
    EXPECT_EQ(agent.count_log("<<< Engine scan done"), 0);
}

TEST(management, query_waits_until_a_running_scan_has_released_the_busy_flag) {
    agent_run agent;
    const int slow = e2e::free_port();
    agent.add_engine_files("slow");
    // Each engine line holds the scan 50 ms: 60 lines make a 3-second scan.
    const int lines = 60;
    for (int i = 0; i < lines; ++i) {
        agent.add_conf_line("slow " + std::to_string(slow) + " slow.exe");
    }
    std::string scan_reply;
    for (int i = 0; i < lines; ++i) {
        scan_reply += reply_line("127.0.0.1", slow, "slow");
    }
    scan_reply += scan_mark;

    {
        SCOPED_TRACE("during the start-up scan");
        ASSERT_TRUE(up_with_management(agent));
        tcp_client client(management_port);
        ASSERT_TRUE(client.connected());
        client.send("query");
        ASSERT_TRUE(client.read_until(query_mark));
        const int sock = last_query_socket(agent);
        std::string log = agent.log();
        std::size_t received = position(log, "[MGMT] received cmd=query");
        std::size_t done = position(log, "<<< Engine scan done, lock released by client socket");
        std::size_t locked = position(log, query_lock_line(sock));
        ASSERT_NE(done, std::string::npos);
        ASSERT_LT(received, done) << "the scan ended before the query arrived";
        EXPECT_LT(done, locked);
    }
    {
        SCOPED_TRACE("during a scan from another client");
        tcp_client scanner(management_port);
        tcp_client asker(management_port);
        ASSERT_TRUE(scanner.connected() && asker.connected());
        scanner.send("scan");
        ASSERT_TRUE(agent.wait_log("acquired lock to scan/load engine", 2));
        asker.send("query");
        ASSERT_EQ(agent.count_log("<<< Engine scan done"), 1)
            << "the scan ended before the query was sent";
        ASSERT_TRUE(asker.read_until(query_mark));
        const int sock = last_query_socket(agent);
        EXPECT_TRUE(scanner.read_until(scan_mark));
        EXPECT_EQ(scanner.received(), scan_reply);
        std::string log = agent.log();
        std::size_t done = position(log, "<<< Engine scan done", 2);
        ASSERT_NE(done, std::string::npos);
        EXPECT_LT(done, log.rfind(query_lock_line(sock)));
        EXPECT_EQ(asker.received(),
                  header_of(asker.received()) + engine_block(agent, "slow", slow) + query_mark);
    }
}

TEST(management, a_second_server_runs_without_management_and_its_engines_work) {
    agent_run first;
    ASSERT_TRUE(up_with_management(first));
    agent_run second;
    const int alpha = e2e::free_port();
    second.add_engine("alpha", alpha);
    second.start_and_wait();
    EXPECT_FALSE(second.has_management());
    ASSERT_TRUE(second.wait_log("<<< Exited orvane_management_thread"));
    std::vector<std::string> messages = second.messages();
    std::vector<std::string> expected = {
        ">>> Entered orvane_management_thread",
        ">>> Creating mgmt listening socket...",
        "bind() failed. (98)",
        "<<< ERROR on mgmt socket: bind() failed",
        "<<< Closing mgmt listening socket...",
        "<<< Exited orvane_management_thread",
    };
    // In this order; lines of the start-up scan may come in between.
    auto at = messages.begin();
    for (const std::string& line : expected) {
        at = std::find(at, messages.end(), line);
        ASSERT_NE(at, messages.end()) << "missing or out of order: " << line << "\n"
                                      << second.log();
    }

    ASSERT_TRUE(second.wait_console("Engine (alpha) waiting for connections..."));
    tcp_client user(alpha);
    ASSERT_TRUE(user.connected());
    user.send("uci\n");
    EXPECT_TRUE(user.read_until("uciok"));

    // The first server's management is untouched and knows nothing of alpha.
    tcp_client manager(management_port);
    std::string report = query(manager);
    EXPECT_EQ(report, header_of(report) + query_mark);
    EXPECT_TRUE(second.running());
}

TEST(management, a_connection_the_set_cannot_hold_is_closed_at_once) {
    agent_run agent;
    ASSERT_TRUE(up_with_management(agent));
    // The listening socket and 63 connections fill the set of 64.
    // They go in groups that the backlog of 10 holds: a connection that finds
    // the backlog full waits for a SYN retry, a second or more.
    std::vector<tcp_client> held;
    for (int i = 0; i < 63; ++i) {
        held.emplace_back(management_port);
        ASSERT_TRUE(held.back().connected()) << i;
        if (held.size() % 8 == 0 || held.size() == 63) {
            ASSERT_TRUE(
                agent.wait_log("[MGMT] Received new connection", static_cast<int>(held.size())));
        }
    }
    tcp_client extra(management_port);
    ASSERT_TRUE(extra.connected());
    EXPECT_TRUE(extra.wait_closed(5s));
    EXPECT_TRUE(agent.wait_log("[MGMT] too many connections, closing socket ("));
    EXPECT_EQ(agent.count_log("[MGMT] Received new connection"), 64);

    for (tcp_client* client : {&held.front(), &held.back()}) {
        std::string report = query(*client);
        EXPECT_EQ(report, header_of(report) + query_mark);
    }
    // A place freed by a client that left is taken by the next one.
    held.front().close();
    ASSERT_TRUE(agent.wait_log("[MGMT] closing socket ("));
    tcp_client next(management_port);
    std::string report = query(next);
    EXPECT_EQ(report, header_of(report) + query_mark);
    EXPECT_EQ(agent.count_log("[MGMT] too many connections"), 1);
}

// A configuration of 32 engines with long names (the report of a full table
// is then large), published by the start-up scan. Empty when they were not
// all published, or the management port is another server's.
std::vector<std::pair<std::string, int>> publish_full_table(agent_run& agent) {
    std::vector<std::pair<std::string, int>> engines;
    // The engine directory, with its two separators, must stay within 255.
    const std::size_t name_length = 250 - agent.dir().size();
    for (int i = 0; i < 32; ++i) {
        std::string name = "e" + std::to_string(100 + i);
        name.resize(name_length, 'x');
        engines.emplace_back(name, e2e::free_port());
        agent.add_conf_line(name + " " + std::to_string(engines.back().second) + " " + name +
                            ".exe");
    }
    agent.start_and_wait();
    tcp_client manager(management_port);
    if (!agent.has_management() ||
        count_in(query_until(manager, "\nEngine(", 32), "\nEngine(") != 32) {
        engines.clear();
    }
    return engines;
}

TEST(management, out_of_descriptors_the_listener_waits_and_serves_once_some_are_free) {
    agent_run agent;
    agent.limit_descriptors(24, true);
    ASSERT_TRUE(up_with_management(agent));
    // Each connection holds a descriptor of the server until none is left;
    // the next one then waits in the queue, its query unanswered.
    std::vector<tcp_client> answered;
    tcp_client waiting;
    for (int i = 0; i < 40 && !waiting.connected(); ++i) {
        tcp_client client(management_port);
        client.send("query");
        if (client.read_until(query_mark, 1500ms)) {
            answered.push_back(std::move(client));
        } else {
            waiting = std::move(client);
        }
    }
    ASSERT_TRUE(waiting.connected()) << "the limit was not reached";
    // Descriptors come free: the listener takes the waiting connection and
    // answers it, instead of having ended at the failed accept.
    answered.erase(answered.begin(), answered.begin() + 4);
    EXPECT_TRUE(waiting.read_until(query_mark, 5000ms)) << agent.log();
    EXPECT_NE(query(answered.back()).find(query_mark), std::string::npos);
}

TEST(management, a_33rd_engine_is_refused_by_the_full_table) {
    agent_run agent;
    std::vector<std::pair<std::string, int>> engines = publish_full_table(agent);
    ASSERT_EQ(engines.size(), 32u)
        << (agent.has_management() ? "" : "port 53350 is held by another server; run again\n")
        << agent.log();
    const int extra_port = e2e::free_port();
    agent.add_conf_line("extra " + std::to_string(extra_port) + " extra.exe");

    tcp_client manager(management_port);
    std::string expected;
    for (const auto& engine : engines) {
        expected += reply_line("127.0.0.1", engine.second, engine.first);
    }
    expected += reply_line("127.0.0.1", extra_port, "extra") + scan_mark;
    EXPECT_EQ(scan(manager), expected);

    EXPECT_TRUE(agent.wait_console("Engine (extra) waiting for connections..."));
    ASSERT_TRUE(agent.wait_log("<<< Engine (extra) closing listening socket..."));
    std::vector<std::string> messages = agent.messages();
    auto at = messages.begin();
    for (const std::string& line :
         {std::string("Unable to add new engine for extra"),
          std::string("<<< ERROR on engine socket: add engine failed"),
          std::string("<<< Engine (extra) closing listening socket...")}) {
        at = std::find(at, messages.end(), line);
        ASSERT_NE(at, messages.end()) << "missing or out of order: " << line;
    }
    EXPECT_FALSE(tcp_client(extra_port).connected());
    std::string report = query(manager);
    EXPECT_EQ(count_in(report, "\nEngine("), 32);
    EXPECT_EQ(report.find("Engine(extra)"), std::string::npos);
}

TEST(management, a_client_that_never_reads_does_not_stop_other_clients) {
    agent_run agent;
    std::vector<std::pair<std::string, int>> engines = publish_full_table(agent);
    ASSERT_EQ(engines.size(), 32u)
        << (agent.has_management() ? "" : "port 53350 is held by another server; run again\n")
        << agent.log();

    // The stalled client takes its first report, then asks again and again
    // without reading, each query once the one before has gone out, until a
    // report no longer fits the socket buffers.
    tcp_client stalled(management_port);
    const std::string reference = query(stalled);
    ASSERT_EQ(count_in(reference, "\nEngine("), 32);
    const int sock = last_query_socket(agent);
    const std::string done_line =
        "<<< Engine query done, lock released by client socket " + std::to_string(sock) + ".\n";
    // The socket value may have served an earlier connection: count from here.
    ASSERT_TRUE(eventually([&] {
        std::string log = agent.log();
        return log.find(done_line, log.rfind(query_lock_line(sock))) != std::string::npos;
    }));
    const int earlier = agent.count_log(done_line);
    int sent = 0;
    bool stuck = false;
    while (!stuck && sent < 2000) {
        stalled.send("query");
        ++sent;
        stuck = !agent.wait_log(done_line, earlier + sent, 2s);
    }
    ASSERT_TRUE(stuck) << "the reports never filled the buffers";

    tcp_client other(management_port);
    ASSERT_TRUE(other.connected());
    auto asked = std::chrono::steady_clock::now();
    other.send("query");
    EXPECT_TRUE(other.read_until(query_mark, 20s));
    auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(waited, 12s);
    EXPECT_EQ(other.received(), reference);

    // The stalled report gave up, still released the busy flag, and the
    // connection was closed.
    std::string log = agent.log();
    std::size_t gave_up =
        position(log, "[MGMT] reply not taken for 10 seconds or connection lost, closing socket (" +
                          std::to_string(sock) + ")\n");
    ASSERT_NE(gave_up, std::string::npos);
    EXPECT_LT(gave_up, log.rfind(">>> Client socket ("));
    // (The other client may get the same socket value once this one is closed.)
    EXPECT_EQ(count_in(log.substr(0, gave_up), done_line), earlier + sent);
    EXPECT_TRUE(stalled.wait_closed(10s));
}

TEST(agentctl, prints_the_replies_of_a_running_server) {
    agent_run agent;
    const int alpha = e2e::free_port();
    agent.add_engine("alpha", alpha);
    ASSERT_TRUE(up_with_management(agent));
    tcp_client manager(management_port);
    const std::string report = query_until(manager, "Engine(alpha)");
    ASSERT_EQ(report, header_of(report) + engine_block(agent, "alpha", alpha) + query_mark);

    // Defaults: 127.0.0.1 and port 53350. The scan's zero byte is not printed.
    e2e::program_result_t scanned = e2e::run_program(e2e::agentctl_binary(), {"scan"});
    EXPECT_EQ(scanned.status, 0) << scanned.err;
    EXPECT_EQ(scanned.out, reply_line("127.0.0.1", alpha, "alpha") + "scanisdone\n");
    EXPECT_EQ(scanned.err, "");

    const int queries = agent.count_log("[MGMT] received cmd=query\n");
    e2e::program_result_t queried =
        e2e::run_program(e2e::agentctl_binary(), {"query", "127.0.0.1", "53350"});
    EXPECT_EQ(queried.status, 0) << queried.err;
    EXPECT_EQ(queried.out, report);
    EXPECT_EQ(queried.err, "");
    // Each sent the bare word in one send.
    EXPECT_EQ(agent.count_log("[MGMT] received cmd=scan\n"), 1);
    EXPECT_EQ(agent.count_log("[MGMT] received cmd=query\n"), queries + 1);
}

// A listening socket that never accepts: a connection to it completes in
// its backlog, and nothing is ever answered. With a backlog of 0 and one
// connection made, the kernel drops further connection requests, so a
// connect hangs as it does towards a host that has vanished.
struct silent_listener_t {
    int fd = -1;
    int port = 0;
    explicit silent_listener_t(int backlog = 4) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(fd, backlog) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
    }
    ~silent_listener_t() { close(fd); }
    silent_listener_t(const silent_listener_t&) = delete;
    silent_listener_t& operator=(const silent_listener_t&) = delete;
};

TEST(agentctl, fails_clearly_without_a_server_or_a_reply) {
    silent_listener_t silent;
    ASSERT_NE(silent.port, 0);
    silent_listener_t full(0);
    ASSERT_NE(full.port, 0);
    tcp_client filling(full.port);
    ASSERT_TRUE(filling.connected());
    const std::string closed = std::to_string(e2e::free_port());
    struct case_t {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* message;  // expected in the standard error
    };
    const case_t cases[] = {
        {"closed port", {"query", "127.0.0.1", closed}, 3, "cannot reach the server"},
        {"closed port, scan", {"scan", "127.0.0.1", closed}, 3, "cannot reach the server"},
        {"no reply",
         {"query", "127.0.0.1", std::to_string(silent.port), "--timeout=1"},
         1,
         "no complete reply within 1 seconds"},
        {"connect never completes",
         {"query", "127.0.0.1", std::to_string(full.port), "--timeout=1"},
         3,
         "cannot reach the server"},
        {"no command", {}, 2, "usage: agentctl"},
        {"unknown command", {"status"}, 2, "usage: agentctl"},
        {"time-out of zero", {"scan", "--timeout=0"}, 2, "usage: agentctl"},
        {"time-out too long", {"scan", "--timeout=99999999999"}, 2, "usage: agentctl"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.what);
        e2e::program_result_t result = e2e::run_program(e2e::agentctl_binary(), c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
