#include "tests/e2e/agent_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace fs = std::filesystem;

const char* agent_binary() {
    return AGENT_BINARY;
}
const char* test_engine_binary() {
    return TEST_ENGINE_BINARY;
}
const char* agentctl_binary() {
    return AGENTCTL_BINARY;
}

int free_port() {
    // Ports below the kernel's range for outgoing connections, so that no
    // client socket of a test takes one after it was handed out; each port
    // is handed out once per test process, and only when it binds now on
    // the wildcard address, as the server binds it.
    static std::mutex lock;
    static std::set<int> handed_out;
    static std::mt19937 random(static_cast<unsigned>(getpid()));
    std::lock_guard<std::mutex> hold(lock);
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = pick(random);
        if (handed_out.count(port) != 0) {
            continue;
        }
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        if (free) {
            handed_out.insert(port);
            return port;
        }
    }
    throw std::runtime_error("no free port found");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

agent_run::agent_run() {
    char pattern[] = "/tmp/agent_e2e_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
}

agent_run::~agent_run() {
    if (pid_ > 0 && running()) {
        kill(pid_, SIGKILL);
        wait_exit(5s);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void agent_run::add_engine_files(const std::string& name, const std::string& source) {
    fs::create_directories(dir_ + "/" + name);
    fs::copy_file(source.empty() ? test_engine_binary() : source,
                  dir_ + "/" + name + "/" + name + ".exe", fs::copy_options::overwrite_existing);
}

void agent_run::add_conf_line(const std::string& line) {
    write_file(dir_ + "/orvane_agent.conf", line + "\n");
}

void agent_run::add_engine(const std::string& name, int port, const std::string& args) {
    add_engine_files(name);
    add_conf_line(name + " " + std::to_string(port) + " " + name + ".exe" +
                  (args.empty() ? "" : " " + args));
}

void agent_run::start(const std::vector<std::string>& args) {
    std::string console = dir_ + "/console.txt";
    std::string errors = dir_ + "/stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(dir_.c_str()) != 0) {
            _exit(126);
        }
        int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The server must start with nothing but its standard streams.
        for (int fd = 3; fd < 1024; ++fd) {
            ::close(fd);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(agent_binary()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (descriptor_limit_ > 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(descriptor_limit_);
            if (hard_descriptor_limit_) {
                limit.rlim_max = limit.rlim_cur;
            }
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(agent_binary(), argv.data());
        _exit(127);
    }
}

void agent_run::start_and_wait(const std::vector<std::string>& args) {
    start(args);
    // Up: the start lines are written and the management listener has
    // either started waiting or failed (its port held by another server).
    bool up = wait_log("total engine table size") && eventually([&] {
                  return console().find("[MGMT] waiting for connections") != std::string::npos ||
                         log().find("<<< ERROR on mgmt socket") != std::string::npos;
              });
    if (!up) {
        throw std::runtime_error("agent did not come up:\n" + log());
    }
}

bool agent_run::has_management() const {
    return console().find("[MGMT] waiting for connections") != std::string::npos;
}

bool agent_run::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

std::string agent_run::log() const {
    return read_file(dir_ + "/OrvaneAgentErr.log");
}

std::string agent_run::console() const {
    return read_file(dir_ + "/console.txt");
}

std::vector<std::string> agent_run::messages() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line)) {
        // Prefix: 19-character timestamp, " Agent Server[", host, "] ".
        std::size_t close = line.find("] ");
        lines.push_back(close == std::string::npos ? line : line.substr(close + 2));
    }
    return lines;
}

int agent_run::count_log(const std::string& text) const {
    std::string all = log();
    int count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool agent_run::wait_log(const std::string& text, int count,
                         std::chrono::milliseconds limit) const {
    return eventually([&] { return count_log(text) >= count; }, limit);
}

bool agent_run::wait_console(const std::string& text, std::chrono::milliseconds limit) const {
    return eventually([&] { return console().find(text) != std::string::npos; }, limit);
}

int agent_run::stop(int signal_number) {
    if (pid_ > 0) {
        kill(pid_, signal_number);
    }
    return wait_exit();
}

int agent_run::wait_exit(std::chrono::milliseconds limit) {
    eventually([&] { return !running(); }, limit);
    return status_;
}

tcp_client::tcp_client(int port, const std::string& source, const std::string& host) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

tcp_client::~tcp_client() {
    close();
}

tcp_client::tcp_client(tcp_client&& other) noexcept
    : fd_(other.fd_), received_(std::move(other.received_)) {
    other.fd_ = -1;
}

tcp_client& tcp_client::operator=(tcp_client&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        received_ = std::move(other.received_);
        other.fd_ = -1;
    }
    return *this;
}

void tcp_client::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

tcp_client::outcome_t tcp_client::receive_some(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (fd_ < 0 || left.count() <= 0) {
        return outcome_t::timed_out;
    }
    pollfd one{fd_, POLLIN, 0};
    if (poll(&one, 1, static_cast<int>(left.count())) <= 0) {
        return outcome_t::received;  // nothing yet: the caller tests and waits again
    }
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) {
        return outcome_t::closed;
    }
    received_.append(buf, static_cast<std::size_t>(n));
    return outcome_t::received;
}

bool tcp_client::read_until(const std::string& text, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (received_.find(text) == std::string::npos) {
        if (receive_some(end) != outcome_t::received) {
            return received_.find(text) != std::string::npos;
        }
    }
    return true;
}

bool tcp_client::wait_closed(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        switch (receive_some(end)) {
            case outcome_t::closed:
                return true;
            case outcome_t::timed_out:
                return fd_ < 0;
            case outcome_t::received:
                break;
        }
    }
}

void tcp_client::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void tcp_client::reset() {
    if (fd_ >= 0) {
        linger hard{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        close();
    }
}

int count_fds(pid_t pid) {
    int count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

int count_threads(pid_t pid) {
    int count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

program_result_t run_program(const std::string& path, const std::vector<std::string>& args,
                             std::chrono::milliseconds limit) {
    program_result_t result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return result;
    }
    // Built before the fork: the child only duplicates descriptors and execs.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    auto end = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = pid > 0 ? 2 : 0;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) < 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (pid <= 0) {
        return result;
    }
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                            std::chrono::duration_cast<std::chrono::milliseconds>(
                                end - std::chrono::steady_clock::now()));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

}  // namespace e2e
