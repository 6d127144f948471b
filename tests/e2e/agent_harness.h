// End-to-end test helpers: the real agent binary run in a fresh temporary
// working directory, engines of our own placed beside it, loopback clients,
// and waits that poll the log or a connection with a time-out.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
constexpr auto default_wait = std::chrono::milliseconds(15000);

const char* agent_binary();
const char* test_engine_binary();
const char* agentctl_binary();

// A free TCP port on this machine (the kernel's choice, released at once).
int free_port();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

// One server run in a private directory; ended by its destructor if still up.
class agent_run {
public:
    agent_run();
    ~agent_run();
    agent_run(const agent_run&) = delete;
    agent_run& operator=(const agent_run&) = delete;

    const std::string& dir() const { return dir_; }
    // Places our test engine as <dir>/<name>/<name>.exe.
    void add_engine_files(const std::string& name, const std::string& source = "");
    // Appends a configuration line as written.
    void add_conf_line(const std::string& line);
    // add_engine_files and a line "name port name.exe args".
    void add_engine(const std::string& name, int port, const std::string& args = "");

    // A descriptor limit for the server to start with (0: as inherited):
    // the soft one, and the hard one too when hard is set.
    void limit_descriptors(int soft, bool hard = false) {
        descriptor_limit_ = soft;
        hard_descriptor_limit_ = hard;
    }
    void start(const std::vector<std::string>& args = {});
    // Waits for the start lines and for the management listener to listen or
    // fail; has_management() tells which.
    void start_and_wait(const std::vector<std::string>& args = {});
    bool has_management() const;
    pid_t pid() const { return pid_; }
    bool running();

    std::string log() const;
    std::string console() const;
    // Log lines with the prefix removed.
    std::vector<std::string> messages() const;
    // Waits until the log holds text at least count times.
    bool wait_log(const std::string& text, int count = 1,
                  std::chrono::milliseconds limit = default_wait) const;
    bool wait_console(const std::string& text,
                      std::chrono::milliseconds limit = default_wait) const;
    int count_log(const std::string& text) const;

    // Sends a signal and waits for the end; the exit status, or -signal.
    int stop(int signal_number);
    int wait_exit(std::chrono::milliseconds limit = default_wait);

private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = 0;
    int descriptor_limit_ = 0;
    bool hard_descriptor_limit_ = false;
};

// A loopback TCP client, optionally bound to a source address.
class tcp_client {
public:
    tcp_client() = default;
    explicit tcp_client(int port, const std::string& source = "",
                        const std::string& host = "127.0.0.1");
    ~tcp_client();
    tcp_client(tcp_client&& other) noexcept;
    tcp_client& operator=(tcp_client&& other) noexcept;
    tcp_client(const tcp_client&) = delete;
    tcp_client& operator=(const tcp_client&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void send(const std::string& bytes);
    // Reads until the received bytes hold text (or the time-out, or close).
    bool read_until(const std::string& text, std::chrono::milliseconds limit = default_wait);
    // Reads until the peer closes; true when it closed within the limit.
    bool wait_closed(std::chrono::milliseconds limit = default_wait);
    const std::string& received() const { return received_; }
    void clear() { received_.clear(); }
    void close();
    // Ends the connection with a reset instead of a close.
    void reset();

private:
    enum class outcome_t { received, closed, timed_out };
    // One wait and receive until end; bytes go to received_.
    outcome_t receive_some(std::chrono::steady_clock::time_point end);

    int fd_ = -1;
    std::string received_;
};

// The server's open descriptors and its threads, read from /proc.
int count_fds(pid_t pid);
int count_threads(pid_t pid);

// Polls a condition until it holds or the limit passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = default_wait) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        struct timespec step {
            0, 20 * 1000 * 1000
        };
        nanosleep(&step, nullptr);
    }
}

// A program run to its end with its standard output and error captured.
// status is its exit status, -signal when a signal ended it, or -1000 when
// it had not ended within the limit (it is then killed).
struct program_result_t {
    int status = -1000;
    std::string out;
    std::string err;
};
program_result_t run_program(const std::string& path, const std::vector<std::string>& args,
                             std::chrono::milliseconds limit = default_wait);

// Reads until done(received bytes) holds, or the limit passes; true when it
// held. For answers that no single text marks the end of.
template <typename Done>
bool read_until_done(tcp_client& client, Done done,
                     std::chrono::milliseconds limit = default_wait) {
    // A text that never arrives: each call reads what came within one step.
    const std::string never("\0\xff\0", 3);
    return eventually(
        [&] {
            client.read_until(never, std::chrono::milliseconds(20));
            return done(client.received());
        },
        limit);
}

}  // namespace e2e
