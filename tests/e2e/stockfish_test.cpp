// End-to-end tests with a real engine: Debian's Stockfish published through
// the server and played from loopback clients, as a chess GUI would.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/agent_harness.h"

namespace {

using e2e::agent_run;
using e2e::tcp_client;
namespace fs = std::filesystem;

const char stockfish_path[] = "/usr/games/stockfish";

// Publishes Stockfish as the engine "stockfish"; its port.
int serve_stockfish(agent_run& agent) {
    int port = e2e::free_port();
    agent.add_engine_files("stockfish", stockfish_path);
    agent.add_conf_line("stockfish " + std::to_string(port) + " stockfish.exe");
    agent.start_and_wait();
    EXPECT_TRUE(agent.wait_console("Engine (stockfish) waiting for connections"));
    return port;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The UCI handshake: the identification names the server the client reached.
void handshake(tcp_client& client, const std::string& server_ip) {
    client.send("uci\n");
    ASSERT_TRUE(client.read_until("uciok\n")) << client.received();
    EXPECT_NE(client.received().find("id name QAV_X64WIN_" + server_ip + "_stockfish##Stockfish "),
              std::string::npos)
        << client.received();
    EXPECT_EQ(count_of(client.received(), "id name "), 1) << client.received();
    EXPECT_EQ(count_of(client.received(), "uciok\n"), 1) << client.received();
    client.send("isready\n");
    ASSERT_TRUE(client.read_until("readyok\n")) << client.received();
}

void start_search(tcp_client& client) {
    client.clear();
    client.send("ucinewgame\nposition startpos moves e2e4 e7e5\ngo depth 8\n");
}

// A whole move line: "bestmove e2e4", perhaps a promotion and a ponder move.
bool is_move_line(const std::string& line) {
    const std::string head = "bestmove ";
    if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + 4) {
        return false;
    }
    const std::string move = line.substr(head.size(), line.find(' ', head.size()) - head.size());
    auto square = [&](std::size_t at) {
        return move[at] >= 'a' && move[at] <= 'h' && move[at + 1] >= '1' && move[at + 1] <= '8';
    };
    return (move.size() == 4 || move.size() == 5) && square(0) && square(2);
}

// The received line that begins with "bestmove ", once it is whole.
std::string move_line(const std::string& received) {
    const std::string text = "\n" + received;
    std::size_t at = text.find("\nbestmove ");
    std::size_t end = at == std::string::npos ? at : text.find('\n', at + 1);
    return end == std::string::npos ? "" : text.substr(at + 1, end - at - 1);
}

void expect_best_move(tcp_client& client) {
    ASSERT_TRUE(e2e::read_until_done(client, [](const std::string& received) {
        return !move_line(received).empty();
    })) << client.received();
    EXPECT_TRUE(is_move_line(move_line(client.received()))) << client.received();
    EXPECT_EQ(count_of(client.received(), "bestmove "), 1);
}

// Each test's server; after the test it must still run, with no sanitizer
// report on its standard error.
class stockfish : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(stockfish_path)) {
            GTEST_SKIP() << "no " << stockfish_path;
        }
    }
    void TearDown() override {
        if (agent.pid() > 0) {
            EXPECT_TRUE(agent.running());
        }
        const std::string errors = e2e::read_file(agent.dir() + "/stderr.txt");
        EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    }
    agent_run agent;
};

TEST_F(stockfish, plays_through_the_server_and_quit_closes_the_connection) {
    int port = serve_stockfish(agent);
    tcp_client client(port);
    ASSERT_TRUE(client.connected());
    handshake(client, "127.0.0.1");
    start_search(client);
    expect_best_move(client);
    client.send("quit\n");
    EXPECT_TRUE(client.wait_closed());
    EXPECT_TRUE(agent.wait_log(") is ended, rval=0\n"));
}

TEST_F(stockfish, two_clients_at_once_get_their_own_engines) {
    int port = serve_stockfish(agent);
    // b reaches another server address: its identification differs from a's,
    // and each sees exactly its own.
    tcp_client a(port, "127.0.0.2");
    tcp_client b(port, "127.0.0.3", "127.1.1.1");
    ASSERT_TRUE(a.connected());
    ASSERT_TRUE(b.connected());
    handshake(a, "127.0.0.1");
    handshake(b, "127.1.1.1");
    for (const char* file : {"ovi_127.0.0.2_stockfish.exe", "ovi_127.0.0.3_stockfish.exe"}) {
        EXPECT_TRUE(fs::exists(agent.dir() + "/stockfish/" + file)) << file;
    }
    start_search(a);
    start_search(b);
    // A second client from a's address while a plays is refused and a
    // goes on.
    tcp_client again(port, "127.0.0.2");
    ASSERT_TRUE(again.connected());
    EXPECT_TRUE(again.wait_closed());
    EXPECT_EQ(again.received(), "");
    EXPECT_TRUE(agent.wait_log("refused by engine (stockfish)"));
    expect_best_move(a);
    expect_best_move(b);
    for (tcp_client* client : {&a, &b}) {
        client->send("quit\n");
        EXPECT_TRUE(client->wait_closed());
    }
    EXPECT_TRUE(agent.wait_log(") is ended, rval=0\n", 2));
    EXPECT_EQ(agent.count_log(") is launched\n"), 2);
}

}  // namespace
