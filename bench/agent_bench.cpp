// agent_bench: Agent Server measured side by side with the engine run directly over pipes (the
// physical limit) and with a plain TCP relay that starts one engine per connection (socat), in
// one run on one machine. Prints a table of medians and tails with the ratio Agent Server / socat
// for each figure and the target it is held to, and writes the same as JSON.
//
// Everything runs on loopback. The real agent binary runs in a fresh temporary working directory
// with its own orvane_agent.conf; every process the benchmark starts is ended by its pid, every
// loop is bounded in count and every wait in time, and the temporary directory is removed.
//
//   agent_bench [--quick] [--json=PATH] [--NAME=N ...] [--agent=PATH] [--test-engine=PATH]
//               [--stockfish=PATH] [--socat=PATH] [--only=GROUP,...]
//
// Groups: idle, handshake, round-trip, burst, writes, crowd (8 and 64 clients); --only runs
// some of them, e.g. to profile the server through one long row.
//
// Counts, with the full run's defaults (--quick lowers them; a later option wins):
//   --handshakes=30 --small-handshakes=60 --round-trips=1000 --bursts=30 --searches=10
//   --big-writes=30 --many-writes=30 --crowd-runs=3 --crowd-round-trips=500 --queries=20
//   --idle-seconds=5 --nodes=500000 --big-bytes=1048576 --many-lines=1000
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// ---- Options ------------------------------------------------------------------------------

struct options_t {
    bool quick = false;
    std::string json_path = "results.json";
    std::string only;  // comma-separated groups to run; empty: all
    std::string agent = AGENT_BINARY;
    std::string test_engine = TEST_ENGINE_BINARY;
    std::string stockfish = "/usr/games/stockfish";
    std::string socat = "/usr/bin/socat";
    long handshakes = 30;
    long small_handshakes = 60;
    long round_trips = 1000;
    long bursts = 30;
    long searches = 10;
    long big_writes = 30;
    long many_writes = 30;
    long crowd_runs = 3;
    long crowd_round_trips = 500;
    long queries = 20;
    long idle_seconds = 5;
    long nodes = 500000;
    long big_bytes = 1 << 20;
    long many_lines = 1000;
};

struct count_option_t {
    const char* name;
    long options_t::*field;
    long quick_value;
};

const count_option_t count_options[] = {
    {"handshakes", &options_t::handshakes, 8},
    {"small-handshakes", &options_t::small_handshakes, 20},
    {"round-trips", &options_t::round_trips, 1000},
    {"bursts", &options_t::bursts, 10},
    {"searches", &options_t::searches, 3},
    {"big-writes", &options_t::big_writes, 10},
    {"many-writes", &options_t::many_writes, 10},
    {"crowd-runs", &options_t::crowd_runs, 1},
    {"crowd-round-trips", &options_t::crowd_round_trips, 500},
    {"queries", &options_t::queries, 5},
    {"idle-seconds", &options_t::idle_seconds, 2},
    {"nodes", &options_t::nodes, 500000},
    {"big-bytes", &options_t::big_bytes, 1 << 20},
    {"many-lines", &options_t::many_lines, 1000},
};

options_t opts;

// Set by SIGINT or SIGTERM: every wait gives up, every loop stops, and the clean-up runs.
volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

bool stopping() {
    return stop_requested != 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: agent_bench [--quick] [--json=PATH] [--agent=PATH] [--test-engine=PATH]\n"
                 "                   [--stockfish=PATH] [--socat=PATH] [--only=GROUP,...]\n"
                 "                   [--NAME=N], NAME one of:\n");
    for (const count_option_t& option : count_options) {
        std::fprintf(stderr, "                   --%s (default %ld)\n", option.name,
                     opts.*option.field);
    }
}

bool parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            opts.quick = true;
            for (const count_option_t& option : count_options) {
                opts.*option.field = option.quick_value;
            }
        }
    }
    const std::pair<const char*, std::string options_t::*> paths[] = {
        {"--json=", &options_t::json_path},
        {"--agent=", &options_t::agent},
        {"--test-engine=", &options_t::test_engine},
        {"--stockfish=", &options_t::stockfish},
        {"--socat=", &options_t::socat},
        {"--only=", &options_t::only},
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            continue;
        }
        bool known = false;
        for (const auto& path : paths) {
            std::size_t length = std::strlen(path.first);
            if (arg.compare(0, length, path.first) == 0 && arg.size() > length) {
                opts.*path.second = arg.substr(length);
                known = true;
            }
        }
        for (const count_option_t& option : count_options) {
            std::string prefix = std::string("--") + option.name + "=";
            if (known || arg.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            char* end = nullptr;
            long value = std::strtol(arg.c_str() + prefix.size(), &end, 10);
            if (*end != '\0' || value < 1 || value > 100000000) {
                std::fprintf(stderr, "agent_bench: bad count in %s\n", arg.c_str());
                return false;
            }
            opts.*option.field = value;
            known = true;
        }
        if (!known) {
            std::fprintf(stderr, "agent_bench: unknown option %s\n", arg.c_str());
            usage();
            return false;
        }
    }
    return true;
}

// ---- Owned handles ------------------------------------------------------------------------

struct fd_t {
    int fd = -1;

    fd_t() = default;
    explicit fd_t(int value) : fd(value) {}
    fd_t(const fd_t&) = delete;
    fd_t& operator=(const fd_t&) = delete;
    fd_t(fd_t&& other) noexcept : fd(other.fd) { other.fd = -1; }
    fd_t& operator=(fd_t&& other) noexcept {
        if (this != &other) {
            reset(other.fd);
            other.fd = -1;
        }
        return *this;
    }
    ~fd_t() { reset(); }

    bool valid() const { return fd >= 0; }
    void reset(int value = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = value;
    }
};

// ---- Clock and statistics -------------------------------------------------------------------

std::int64_t now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The same clock to the nanosecond, in microseconds: for the figures.
double precise_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

void pause_ms(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

// Polls a condition every 20 ms until it holds, the limit passes or a stop is asked for.
bool eventually(const std::function<bool()>& condition, long limit_ms) {
    std::int64_t end = now_us() + limit_ms * 1000;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (now_us() > end || stopping()) {
            return false;
        }
        pause_ms(20);
    }
}

// Linear interpolation between the closest ranks; 0 for no samples.
double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    double rank = fraction * static_cast<double>(samples.size() - 1);
    std::size_t low = static_cast<std::size_t>(rank);
    std::size_t high = std::min(low + 1, samples.size() - 1);
    double weight = rank - static_cast<double>(low);
    return samples[low] * (1 - weight) + samples[high] * weight;
}

double median(const std::vector<double>& samples) {
    return percentile(samples, 0.5);
}

// ---- Figures --------------------------------------------------------------------------------

enum target_index_t : int { via_direct = 0, via_socat = 1, via_agent = 2 };
constexpr int target_count = 3;
const char* const target_names[target_count] = {"direct", "socat", "agent"};

enum verdict_t : int { verdict_none = 0, verdict_met = 1, verdict_missed = 2 };

// One line of the table: one statistic of one measurement for each target.
struct figure_t {
    char row[48] = {};
    char stat[16] = {};
    char unit[16] = {};
    double values[target_count] = {};
    bool present[target_count] = {};
    char target[40] = {};
    verdict_t verdict = verdict_none;
};

std::vector<figure_t> figures;
std::vector<std::string> notes;

template <std::size_t N>
void copy_text(char (&dst)[N], const char* src) {
    std::snprintf(dst, N, "%s", src);
}

void note(const std::string& text) {
    std::fprintf(stderr, "note: %s\n", text.c_str());
    notes.push_back(text);
}

bool has_ratio(const figure_t& f) {
    return f.present[via_socat] && f.present[via_agent] && f.values[via_socat] > 0;
}

double ratio_of(const figure_t& f) {
    return f.values[via_agent] / f.values[via_socat];
}

// A figure with the values of the targets measured; a negative value means "not measured".
figure_t& add_figure(const char* row, const char* stat, const char* unit, double direct,
                     double socat, double agent) {
    figure_t f;
    copy_text(f.row, row);
    copy_text(f.stat, stat);
    copy_text(f.unit, unit);
    const double values[target_count] = {direct, socat, agent};
    for (int t = 0; t < target_count; ++t) {
        f.present[t] = values[t] >= 0;
        f.values[t] = f.present[t] ? values[t] : 0;
    }
    figures.push_back(f);
    return figures.back();
}

// Held to: Agent Server / socat at most limit.
void hold_ratio_at_most(figure_t& f, double limit) {
    std::snprintf(f.target, sizeof(f.target), "ratio <= %.2f", limit);
    f.verdict = has_ratio(f) && ratio_of(f) <= limit ? verdict_met : verdict_missed;
}

// Held to: Agent Server / socat at least 1 (a rate no lower than socat's).
void hold_ratio_at_least_one(figure_t& f) {
    copy_text(f.target, "ratio >= 1.00");
    f.verdict = has_ratio(f) && ratio_of(f) >= 1.0 ? verdict_met : verdict_missed;
}

// Held to: Agent Server's own value at most bound (in the figure's unit).
void hold_value_at_most(figure_t& f, double bound, const char* text) {
    copy_text(f.target, text);
    f.verdict = f.present[via_agent] && f.values[via_agent] <= bound ? verdict_met : verdict_missed;
}

// ---- /proc ----------------------------------------------------------------------------------

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<pid_t> tasks_of(pid_t pid) {
    std::vector<pid_t> tasks;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        tasks.push_back(static_cast<pid_t>(std::atol(it->path().filename().c_str())));
    }
    return tasks;
}

int count_entries(const std::string& path) {
    int count = 0;
    std::error_code error;
    for (fs::directory_iterator it(path, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        ++count;
    }
    return count;
}

int count_fds(pid_t pid) {
    return count_entries("/proc/" + std::to_string(pid) + "/fd");
}

int count_threads(pid_t pid) {
    return count_entries("/proc/" + std::to_string(pid) + "/task");
}

// The processes whose parent is pid (this kernel has no /proc/PID/task/TID/children).
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code error;
    for (fs::directory_iterator it("/proc", error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string stat = read_file("/proc/" + name + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == parent) {
            children.push_back(static_cast<pid_t>(std::atol(name.c_str())));
        }
    }
    return children;
}

// What each live thread of some processes has used so far, by thread id: CPU seconds from the
// scheduler's nanosecond counters (the tick counters of /proc/PID/stat are too coarse here) and
// context switches (each one a wake-up of a blocked thread or a preemption).
struct thread_usage_t {
    double cpu_s = 0;
    long switches = 0;
};
using usage_snapshot_t = std::map<pid_t, thread_usage_t>;

usage_snapshot_t usage_snapshot(const std::vector<pid_t>& pids) {
    usage_snapshot_t snapshot;
    for (pid_t pid : pids) {
        for (pid_t task : tasks_of(pid)) {
            std::string dir = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(task);
            thread_usage_t& usage = snapshot[task];
            usage.cpu_s = std::strtod(read_file(dir + "/schedstat").c_str(), nullptr) / 1e9;
            std::istringstream in(read_file(dir + "/status"));
            std::string line;
            while (std::getline(in, line)) {
                if (line.find("ctxt_switches:") != std::string::npos) {
                    usage.switches += std::atol(line.c_str() + line.find(':') + 1);
                }
            }
        }
    }
    return snapshot;
}

// What was used between two snapshots: a thread in both counts its difference, a thread that
// started in between all it has used. A thread that ended in between is lost; the windows
// measured keep their threads.
thread_usage_t usage_between(const usage_snapshot_t& before, const usage_snapshot_t& after) {
    thread_usage_t used;
    for (const auto& entry : after) {
        auto earlier = before.find(entry.first);
        bool known = earlier != before.end();
        used.cpu_s += entry.second.cpu_s - (known ? earlier->second.cpu_s : 0);
        used.switches += entry.second.switches - (known ? earlier->second.switches : 0);
    }
    return used;
}

// A "Key:   N kB" value of a /proc file, in KiB; 0 when missing.
long kib_field(const std::string& path, const char* key) {
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            return std::atol(line.c_str() + std::strlen(key));
        }
    }
    return 0;
}

long rss_kib(pid_t pid) {
    return kib_field("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
}

long pss_kib(pid_t pid) {
    return kib_field("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
}

// True when a TCP socket listens on the port (any local address).
bool port_listening(int port) {
    char needle[16];
    std::snprintf(needle, sizeof(needle), ":%04X ", port);
    std::istringstream in(read_file("/proc/net/tcp"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && (local + " ").find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ---- Processes ------------------------------------------------------------------------------

// Standard streams of a started process: a descriptor, else a file path, else /dev/null.
struct streams_t {
    int in_fd = -1;
    int out_fd = -1;
    std::string out_path;
    std::string err_path;
};

// Starts argv[0] with argv in dir (empty: ours). The program starts with default signal
// actions and an empty mask, and holds none of our descriptors. -1 when it cannot start.
pid_t spawn_process(const std::vector<std::string>& argv, const std::string& dir,
                    const streams_t& streams) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!dir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    }
    const int write_flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (streams.in_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, streams.in_fd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (streams.out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, streams.out_fd, 1);
    } else {
        const char* path = streams.out_path.empty() ? "/dev/null" : streams.out_path.c_str();
        posix_spawn_file_actions_addopen(&actions, 1, path, write_flags, 0644);
    }
    const char* err = streams.err_path.empty() ? "/dev/null" : streams.err_path.c_str();
    posix_spawn_file_actions_addopen(&actions, 2, err, write_flags, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Reaps a child that is expected to end by itself; after limit_ms it is killed.
// Returns the wait status.
int reap_process(pid_t pid, long limit_ms) {
    int status = 0;
    bool done = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit_ms);
    if (!done) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return status;
}

// A long-lived server started by the benchmark: once its own children (the engines, the
// per-connection relays) have gone, it is stopped with SIGTERM and reaped, killed if it lingers.
struct server_process_t {
    pid_t pid = -1;

    server_process_t() = default;
    server_process_t(const server_process_t&) = delete;
    server_process_t& operator=(const server_process_t&) = delete;
    ~server_process_t() { stop(); }

    void stop() {
        if (pid <= 0) {
            return;
        }
        eventually([&] { return children_of(pid).empty(); }, 10000);
        kill(pid, SIGTERM);
        reap_process(pid, 5000);
        pid = -1;
    }
};

struct temp_dir_t {
    std::string path;

    temp_dir_t() {
        char pattern[] = "/tmp/agent_bench_XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path = pattern;
        }
    }
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;
    ~temp_dir_t() {
        if (!path.empty()) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    }
};

// ---- Engines and servers --------------------------------------------------------------------

struct engine_t {
    char name[32] = {};   // the agent's engine name and folder
    char path[512] = {};  // the executable that the direct and socat targets run
    char args[128] = {};  // the engine's arguments, blank-separated
    int socat_port = 0;
    int agent_port = 0;
};

engine_t stockfish_engine;
engine_t scripted_engine;

struct servers_t {
    temp_dir_t root;
    std::string agent_dir;
    server_process_t socat[2];  // one relay for each engine
    server_process_t agent;
    bool management = false;  // the agent holds the management port
};

constexpr int management_port = 53350;

// A port that is free on all local addresses now, below the kernel's range for outgoing
// connections (32768 and up), so that no client connection takes it before the server binds it.
int free_port() {
    static unsigned seed =
        static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(now_us());
    for (int attempt = 0; attempt < 200; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        int port = 20000 + static_cast<int>((seed >> 8) % 12000);
        fd_t sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(sock.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            return port;
        }
    }
    return 0;
}

std::vector<std::string> split_blanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

bool start_socat(server_process_t* process, const engine_t& engine, const std::string& root) {
    std::string listen =
        "TCP-LISTEN:" + std::to_string(engine.socat_port) + ",bind=127.0.0.1,reuseaddr,fork";
    std::string exec = std::string("EXEC:") + engine.path;
    if (engine.args[0] != '\0') {
        exec += std::string(" ") + engine.args;
    }
    streams_t streams;
    streams.err_path = root + "/socat_" + engine.name + ".txt";
    process->pid = spawn_process({opts.socat, listen, exec}, "", streams);
    return process->pid > 0 && eventually([&] { return port_listening(engine.socat_port); }, 10000);
}

// Places an engine as <dir>/<name>/<name>.exe and returns its configuration line.
std::string place_engine(const std::string& dir, const engine_t& engine) {
    fs::create_directories(dir + "/" + engine.name);
    fs::copy_file(engine.path, dir + "/" + engine.name + "/" + engine.name + ".exe",
                  fs::copy_options::overwrite_existing);
    std::string args = engine.args;
    std::replace(args.begin(), args.end(), ' ', ':');
    return std::string(engine.name) + " " + std::to_string(engine.agent_port) + " " + engine.name +
           ".exe" + (args.empty() ? "" : " " + args) + "\n";
}

bool start_agent(servers_t* servers) {
    const std::string& dir = servers->agent_dir;
    std::ofstream conf(dir + "/orvane_agent.conf");
    conf << place_engine(dir, stockfish_engine) << place_engine(dir, scripted_engine);
    conf.close();
    streams_t streams;
    streams.out_path = dir + "/console.txt";
    streams.err_path = dir + "/stderr.txt";
    servers->agent.pid = spawn_process({opts.agent}, dir, streams);
    if (servers->agent.pid <= 0) {
        return false;
    }
    // Up: both engines listen, and the management listener listens or has failed because
    // another server holds its port.
    bool up = eventually(
        [&] {
            std::string console = read_file(dir + "/console.txt");
            std::string log = read_file(dir + "/OrvaneAgentErr.log");
            bool engines = port_listening(stockfish_engine.agent_port) &&
                           port_listening(scripted_engine.agent_port);
            bool management = console.find("[MGMT] waiting for connections") != std::string::npos;
            servers->management = management;
            return engines && (management || log.find("ERROR on mgmt socket") != std::string::npos);
        },
        15000);
    return up;
}

bool start_servers(servers_t* servers) {
    if (servers->root.path.empty()) {
        std::fprintf(stderr, "agent_bench: no temporary directory\n");
        return false;
    }
    for (const std::string& path : {opts.agent, opts.test_engine, opts.stockfish, opts.socat}) {
        if (access(path.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "agent_bench: %s is missing (apt-get install stockfish socat)\n",
                         path.c_str());
            return false;
        }
    }
    copy_text(stockfish_engine.name, "stockfish");
    copy_text(stockfish_engine.path, opts.stockfish.c_str());
    copy_text(scripted_engine.name, "scripted");
    copy_text(scripted_engine.path, opts.test_engine.c_str());
    std::snprintf(scripted_engine.args, sizeof(scripted_engine.args), "--big=%ld --many=%ld",
                  opts.big_bytes, opts.many_lines);
    std::vector<int> ports;
    while (ports.size() < 4) {
        int port = free_port();
        if (port == 0) {
            return false;
        }
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
        }
    }
    stockfish_engine.socat_port = ports[0];
    stockfish_engine.agent_port = ports[1];
    scripted_engine.socat_port = ports[2];
    scripted_engine.agent_port = ports[3];
    servers->agent_dir = servers->root.path + "/agent";
    fs::create_directories(servers->agent_dir);
    if (!start_socat(&servers->socat[0], stockfish_engine, servers->root.path) ||
        !start_socat(&servers->socat[1], scripted_engine, servers->root.path)) {
        std::fprintf(stderr, "agent_bench: socat did not start listening\n");
        return false;
    }
    // Another server (a test run, say) may hold the fixed management port for a while; ours
    // serves its engines either way, but only with the port can it answer the query row.
    if (port_listening(management_port)) {
        std::fprintf(stderr, "management port %d is in use; waiting up to 60 s for it\n",
                     management_port);
        eventually([] { return !port_listening(management_port); }, 60000);
    }
    if (!start_agent(servers)) {
        std::fprintf(stderr, "agent_bench: the agent did not come up:\n%s\n",
                     read_file(servers->agent_dir + "/OrvaneAgentErr.log").c_str());
        return false;
    }
    if (!servers->management) {
        note("another server holds the management port: the query row is skipped");
    }
    return true;
}

pid_t server_of(const servers_t& servers, int target, const engine_t& engine) {
    if (target == via_agent) {
        return servers.agent.pid;
    }
    if (target == via_socat) {
        return servers.socat[&engine == &stockfish_engine ? 0 : 1].pid;
    }
    return -1;
}

// Waits until the server has no children left: the engines of earlier clients (agent) or the
// relays of earlier connections (socat) have ended, so one sample does not overlap the next.
void settle(const servers_t& servers, int target, const engine_t& engine) {
    pid_t server = server_of(servers, target, engine);
    if (server > 0) {
        eventually([&] { return children_of(server).empty(); }, 10000);
    }
}

// ---- Links: one client's conversation with one engine ----------------------------------------

// A connection to an engine: a loopback TCP connection to a relay, or the pipes of an engine
// started directly. Ended by end_link or the destructor.
struct link_t {
    fd_t in;              // what the engine says: the socket, or its standard output
    fd_t out;             // its standard input; unused for a socket
    pid_t engine = -1;    // the engine process of a direct link
    std::string pending;  // bytes received and not yet looked at

    link_t() = default;
    link_t(const link_t&) = delete;
    link_t& operator=(const link_t&) = delete;
    link_t(link_t&& other) noexcept
        : in(std::move(other.in)),
          out(std::move(other.out)),
          engine(other.engine),
          pending(std::move(other.pending)) {
        other.engine = -1;
    }
    link_t& operator=(link_t&& other) noexcept;
    ~link_t();
};

enum class read_result_t { data, closed, timeout };

// Waits for bytes until the deadline and appends what one read gives to pending.
read_result_t read_some(link_t& link, std::int64_t deadline, double* arrival = nullptr) {
    char buffer[65536];
    for (;;) {
        std::int64_t left_us = deadline - now_us();
        if (left_us <= 0 || stopping() || !link.in.valid()) {
            return read_result_t::timeout;
        }
        pollfd one{link.in.fd, POLLIN, 0};
        int slice_ms = static_cast<int>(std::min<std::int64_t>(left_us / 1000 + 1, 200));
        if (poll(&one, 1, slice_ms) <= 0) {
            continue;
        }
        ssize_t n = ::read(link.in.fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return read_result_t::closed;
        }
        if (arrival != nullptr) {
            *arrival = precise_us();
        }
        link.pending.append(buffer, static_cast<std::size_t>(n));
        return read_result_t::data;
    }
}

// Reads until text has arrived count times; consumes through its last occurrence.
bool wait_text(link_t& link, const std::string& text, long count, std::int64_t deadline) {
    long found = 0;
    for (;;) {
        std::size_t at;
        while ((at = link.pending.find(text)) != std::string::npos) {
            link.pending.erase(0, at + text.size());
            if (++found == count) {
                return true;
            }
        }
        // Only a partial occurrence at the end can still matter.
        if (link.pending.size() >= text.size()) {
            link.pending.erase(0, link.pending.size() - (text.size() - 1));
        }
        if (read_some(link, deadline) != read_result_t::data) {
            return false;
        }
    }
}

bool send_text(link_t& link, const std::string& text) {
    int fd = link.out.valid() ? link.out.fd : link.in.fd;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Asks the engine to quit and waits for the other side to close: by then the engine (or for
// socat the relay's engine) has ended. A direct engine is reaped.
void end_link(link_t& link) {
    if (link.in.valid()) {
        send_text(link, "quit\n");
        link.out.reset();
        std::int64_t deadline = now_us() + 10 * 1000000;
        while (read_some(link, deadline) == read_result_t::data) {
            link.pending.clear();
        }
        link.in.reset();
    }
    if (link.engine > 0) {
        reap_process(link.engine, 5000);
        link.engine = -1;
    }
}

link_t& link_t::operator=(link_t&& other) noexcept {
    if (this != &other) {
        end_link(*this);
        in = std::move(other.in);
        out = std::move(other.out);
        engine = other.engine;
        other.engine = -1;
        pending = std::move(other.pending);
    }
    return *this;
}

link_t::~link_t() {
    end_link(*this);
}

link_t open_direct(const engine_t& engine) {
    link_t link;
    int to_engine[2];
    int from_engine[2];
    if (pipe2(to_engine, O_CLOEXEC) != 0) {
        return link;
    }
    fd_t engine_in(to_engine[0]);
    link.out.reset(to_engine[1]);
    if (pipe2(from_engine, O_CLOEXEC) != 0) {
        link.out.reset();
        return link;
    }
    fd_t engine_out(from_engine[1]);
    link.in.reset(from_engine[0]);
    std::vector<std::string> argv = split_blanks(engine.args);
    argv.insert(argv.begin(), engine.path);
    streams_t streams;
    streams.in_fd = engine_in.fd;
    streams.out_fd = engine_out.fd;
    link.engine = spawn_process(argv, "", streams);
    if (link.engine <= 0) {
        link.in.reset();
        link.out.reset();
    }
    return link;
}

// A loopback connection from the source address (127.0.0.0/8) to the port, given up at the
// deadline. Small-write coalescing is off on our side, so only the server's side shows.
link_t open_tcp(int port, const char* source, std::int64_t deadline) {
    link_t link;
    fd_t sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.valid()) {
        return link;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        return link;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS) {
            return link;
        }
        bool writable = false;
        while (!writable && !stopping() && now_us() < deadline) {
            pollfd one{sock.fd, POLLOUT, 0};
            writable = poll(&one, 1, 200) > 0;
        }
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (!writable || error != 0) {
            return link;
        }
    }
    fcntl(sock.fd, F_SETFL, fcntl(sock.fd, F_GETFL) & ~O_NONBLOCK);
    int on = 1;
    setsockopt(sock.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    link.in = std::move(sock);
    return link;
}

const char default_source[] = "127.0.0.1";

link_t open_link(int target, const engine_t& engine, const char* source, std::int64_t deadline) {
    if (target == via_direct) {
        return open_direct(engine);
    }
    return open_tcp(target == via_socat ? engine.socat_port : engine.agent_port, source, deadline);
}

std::int64_t seconds_from_now(long seconds) {
    return now_us() + seconds * 1000000;
}

// Opens a link and waits for "uciok" after "uci": the handshake. Its time in microseconds, or
// a negative value when it failed.
double handshake(link_t* link, int target, const engine_t& engine, const char* source,
                 long limit_seconds) {
    std::int64_t deadline = seconds_from_now(limit_seconds);
    double start = precise_us();
    *link = open_link(target, engine, source, deadline);
    if (!link->in.valid() || !send_text(*link, "uci\n") ||
        !wait_text(*link, "uciok", 1, deadline)) {
        return -1;
    }
    return precise_us() - start;
}

// One "isready" to "readyok"; microseconds, or negative on failure.
double round_trip(link_t& link) {
    double start = precise_us();
    if (!send_text(link, "isready\n") || !wait_text(link, "readyok", 1, seconds_from_now(10))) {
        return -1;
    }
    return precise_us() - start;
}

// ---- Rows measured one sample at a time, the targets taking turns ------------------------------

struct samples_t {
    std::vector<double> values[target_count];
    int failures[target_count] = {};
};

void progress(const char* what) {
    std::fprintf(stderr, "[%s] %s\n", opts.quick ? "quick" : "full", what);
}

// Runs count samples of each target in turns (the order rotating with each round), a fresh
// handshake each; scale turns microseconds into the figure's unit. With new_sources each
// round connects from an address of its own (127.0.3.N), so that Agent Server copies the
// executable to an instance file that does not exist yet.
samples_t sample_handshakes(const servers_t& servers, const engine_t& engine, long count,
                            bool new_sources = false) {
    samples_t samples;
    for (long i = 0; i < count && !stopping(); ++i) {
        const std::string source =
            new_sources ? "127.0.3." + std::to_string(1 + i % 250) : std::string(default_source);
        for (int k = 0; k < target_count; ++k) {
            int target = static_cast<int>((i + k) % target_count);
            double us;
            {
                link_t link;
                us = handshake(&link, target, engine, source.c_str(), 30);
            }
            settle(servers, target, engine);
            if (us < 0) {
                ++samples.failures[target];
            } else {
                samples.values[target].push_back(us);
            }
        }
    }
    return samples;
}

// One long-lived link per target, after its handshake; null entries failed.
struct link_set_t {
    link_t links[target_count];
    bool ok[target_count] = {};
};

void open_link_set(link_set_t* set, const engine_t& engine) {
    for (int t = 0; t < target_count; ++t) {
        set->ok[t] = handshake(&set->links[t], t, engine, default_source, 30) >= 0;
        if (!set->ok[t]) {
            note(std::string("handshake for a long-lived link failed on ") + target_names[t]);
        }
    }
}

// Runs one measurement count times on each target's link in turns.
samples_t sample_on_links(link_set_t* set, long count,
                          const std::function<double(link_t&)>& measure) {
    samples_t samples;
    for (long i = 0; i < count && !stopping(); ++i) {
        for (int k = 0; k < target_count; ++k) {
            int target = static_cast<int>((i + k) % target_count);
            if (!set->ok[target]) {
                continue;
            }
            double value = measure(set->links[target]);
            if (value < 0) {
                ++samples.failures[target];
                set->ok[target] = false;
            } else {
                samples.values[target].push_back(value);
            }
        }
    }
    return samples;
}

void close_link_set(link_set_t* set, const servers_t& servers, const engine_t& engine) {
    for (int t = 0; t < target_count; ++t) {
        end_link(set->links[t]);
        settle(servers, t, engine);
    }
}

// A figure of one statistic over samples; targets without samples are left out.
figure_t& add_stat(const char* row, const char* stat, const char* unit, const samples_t& samples,
                   double fraction, double scale) {
    double values[target_count];
    for (int t = 0; t < target_count; ++t) {
        values[t] =
            samples.values[t].empty() ? -1 : percentile(samples.values[t], fraction) / scale;
    }
    return add_figure(row, stat, unit, values[0], values[1], values[2]);
}

void note_failures(const char* row, const samples_t& samples) {
    for (int t = 0; t < target_count; ++t) {
        if (samples.failures[t] > 0) {
            note(std::string(row) + ": " + std::to_string(samples.failures[t]) + " failed on " +
                 target_names[t]);
        }
    }
}

void measure_handshakes(const servers_t& servers) {
    progress("handshake, stockfish");
    samples_t big = sample_handshakes(servers, stockfish_engine, opts.handshakes);
    hold_ratio_at_most(add_stat("handshake stockfish", "median", "ms", big, 0.5, 1000), 1.15);
    add_stat("handshake stockfish", "p95", "ms", big, 0.95, 1000);
    note_failures("handshake stockfish", big);

    // The first client from an address: the instance file is written in full.
    progress("handshake, stockfish, each from a new address");
    samples_t first = sample_handshakes(servers, stockfish_engine, opts.handshakes, true);
    add_stat("handshake stockfish, new address", "median", "ms", first, 0.5, 1000);
    add_stat("handshake stockfish, new address", "p95", "ms", first, 0.95, 1000);
    note_failures("handshake stockfish, new address", first);

    progress("handshake, scripted engine");
    samples_t small = sample_handshakes(servers, scripted_engine, opts.small_handshakes);
    add_stat("handshake scripted engine", "median", "ms", small, 0.5, 1000);
    add_stat("handshake scripted engine", "p95", "ms", small, 0.95, 1000);
    note_failures("handshake scripted engine", small);
}

void measure_round_trips(const servers_t& servers) {
    progress("round trips, stockfish");
    link_set_t set;
    open_link_set(&set, stockfish_engine);
    // A few round trips first, so that the figures start from a warm path.
    sample_on_links(&set, 20, round_trip);
    pid_t socat = server_of(servers, via_socat, stockfish_engine);
    std::vector<pid_t> socat_tree = children_of(socat);
    socat_tree.push_back(socat);
    usage_snapshot_t agent_before = usage_snapshot({servers.agent.pid});
    usage_snapshot_t socat_before = usage_snapshot(socat_tree);
    samples_t rtt = sample_on_links(&set, opts.round_trips, round_trip);
    double agent_cpu = usage_between(agent_before, usage_snapshot({servers.agent.pid})).cpu_s;
    double socat_cpu = usage_between(socat_before, usage_snapshot(socat_tree)).cpu_s;
    hold_ratio_at_most(add_stat("round trip", "median", "us", rtt, 0.5, 1), 1.0);
    hold_ratio_at_most(add_stat("round trip", "p99", "us", rtt, 0.99, 1), 1.0);
    note_failures("round trip", rtt);
    const double per_1000 = 1000.0 / static_cast<double>(opts.round_trips) * 1000;
    add_figure("server cpu per 1000 round trips", "total", "ms", -1, socat_cpu * per_1000,
               agent_cpu * per_1000);
    close_link_set(&set, servers, stockfish_engine);
}

// 50 "uci" in one write; microseconds until the 50th "uciok".
double burst(link_t& link) {
    std::string commands;
    for (int i = 0; i < 50; ++i) {
        commands += "uci\n";
    }
    double start = precise_us();
    if (!send_text(link, commands) || !wait_text(link, "uciok", 50, seconds_from_now(20))) {
        return -1;
    }
    return precise_us() - start;
}

// A search of opts.nodes nodes; microseconds from the arrival of the last "info" line to the
// arrival of "bestmove", as the client sees them.
double search_tail(link_t& link) {
    std::int64_t deadline = seconds_from_now(120);
    if (!send_text(link, "ucinewgame\nisready\n") || !wait_text(link, "readyok", 1, deadline)) {
        return -1;
    }
    link.pending.clear();
    if (!send_text(link, "position startpos\ngo nodes " + std::to_string(opts.nodes) + "\n")) {
        return -1;
    }
    double last_info = -1;
    for (;;) {
        double arrival = 0;
        if (read_some(link, deadline, &arrival) != read_result_t::data) {
            return -1;
        }
        std::size_t newline;
        while ((newline = link.pending.find('\n')) != std::string::npos) {
            std::string line = link.pending.substr(0, newline);
            link.pending.erase(0, newline + 1);
            if (line.compare(0, 5, "info ") == 0) {
                last_info = arrival;
            } else if (line.compare(0, 9, "bestmove ") == 0) {
                return last_info < 0 ? -1 : arrival - last_info;
            }
        }
    }
}

void measure_bursts(const servers_t& servers) {
    const char target_text[] = "< 10 ms (no 40 ms stall)";
    {
        progress("burst of 50 uci, stockfish");
        link_set_t set;
        open_link_set(&set, stockfish_engine);
        samples_t bursts = sample_on_links(&set, opts.bursts, burst);
        hold_value_at_most(add_stat("burst 50 uci", "median", "ms", bursts, 0.5, 1000), 10,
                           target_text);
        hold_value_at_most(add_stat("burst 50 uci", "p99", "ms", bursts, 0.99, 1000), 10,
                           target_text);
        note_failures("burst 50 uci", bursts);
        close_link_set(&set, servers, stockfish_engine);
    }
    {
        progress("search tail, stockfish");
        link_set_t set;
        open_link_set(&set, stockfish_engine);
        samples_t tails = sample_on_links(&set, opts.searches, search_tail);
        std::string row = "search tail info->bestmove";
        hold_value_at_most(add_stat(row.c_str(), "median", "ms", tails, 0.5, 1000), 10,
                           target_text);
        hold_value_at_most(add_stat(row.c_str(), "p99", "ms", tails, 0.99, 1000), 10, target_text);
        note_failures(row.c_str(), tails);
        close_link_set(&set, servers, stockfish_engine);
    }
}

// The scripted engine's answer to command, ending in done_text; microseconds.
std::function<double(link_t&)> answer_time(const std::string& command,
                                           const std::string& done_text) {
    return [command, done_text](link_t& link) {
        double start = precise_us();
        if (!send_text(link, command + "\n") ||
            !wait_text(link, done_text, 1, seconds_from_now(30))) {
            return -1.0;
        }
        return precise_us() - start;
    };
}

void measure_writes(const servers_t& servers) {
    progress("large and many small writes, scripted engine");
    link_set_t set;
    open_link_set(&set, scripted_engine);
    char row[48];
    std::snprintf(row, sizeof(row), "large write %ld KiB", opts.big_bytes / 1024);
    samples_t big = sample_on_links(&set, opts.big_writes, answer_time("big", "bigdone\n"));
    add_stat(row, "median", "ms", big, 0.5, 1000);
    add_stat(row, "p99", "ms", big, 0.99, 1000);
    note_failures(row, big);
    std::snprintf(row, sizeof(row), "%ld small writes", opts.many_lines);
    samples_t many = sample_on_links(&set, opts.many_writes, answer_time("many", "manydone\n"));
    add_stat(row, "median", "ms", many, 0.5, 1000);
    add_stat(row, "p99", "ms", many, 0.99, 1000);
    note_failures(row, many);
    close_link_set(&set, servers, scripted_engine);
}

// ---- Concurrency: many clients at once on one engine ------------------------------------------

// The phases of a crowd: 1 handshake, 2 round trips, 3 close. The clients wait for the phase
// to open and report when they have finished it.
struct crowd_gate_t {
    std::mutex lock;
    std::condition_variable changed;
    int phase = 0;
    int finished[4] = {};
};

bool gate_wait_open(crowd_gate_t& gate, int phase, std::int64_t deadline) {
    std::unique_lock<std::mutex> hold(gate.lock);
    while (gate.phase < phase) {
        if (now_us() > deadline || stopping()) {
            return false;
        }
        gate.changed.wait_for(hold, std::chrono::milliseconds(200));
    }
    return true;
}

void gate_finish(crowd_gate_t& gate, int phase) {
    std::lock_guard<std::mutex> hold(gate.lock);
    ++gate.finished[phase];
    gate.changed.notify_all();
}

bool gate_wait_finished(crowd_gate_t& gate, int phase, int count, std::int64_t deadline) {
    std::unique_lock<std::mutex> hold(gate.lock);
    while (gate.finished[phase] < count) {
        if (now_us() > deadline || stopping()) {
            return false;
        }
        gate.changed.wait_for(hold, std::chrono::milliseconds(200));
    }
    return true;
}

void gate_open(crowd_gate_t& gate, int phase) {
    std::lock_guard<std::mutex> hold(gate.lock);
    gate.phase = phase;
    gate.changed.notify_all();
}

struct crowd_client_t {
    bool connected = false;
    std::vector<double> round_trips;
    int failures = 0;
};

void crowd_client(int target, int index, crowd_gate_t* gate, crowd_client_t* result) {
    const std::int64_t deadline = seconds_from_now(300);
    char source[24];
    std::snprintf(source, sizeof(source), "127.0.0.%d", 2 + index);
    link_t link;
    if (gate_wait_open(*gate, 1, deadline)) {
        result->connected = handshake(&link, target, stockfish_engine, source, 120) >= 0;
    }
    result->failures += result->connected ? 0 : 1;
    gate_finish(*gate, 1);
    if (gate_wait_open(*gate, 2, deadline) && result->connected) {
        for (long i = 0; i < opts.crowd_round_trips && !stopping(); ++i) {
            double us = round_trip(link);
            if (us < 0) {
                ++result->failures;
                break;
            }
            result->round_trips.push_back(us);
        }
    }
    gate_finish(*gate, 2);
    gate_wait_open(*gate, 3, deadline);
    end_link(link);
    gate_finish(*gate, 3);
}

// What one crowd run gives; negative values were not measured.
struct crowd_run_t {
    double wall_s = -1;
    double handshake_s = -1;
    double round_trips_per_s = -1;
    double client_median_us = -1;
    double failures = 0;
    double cpu_ms_per_1000 = -1;
    double rss_kib_per_client = -1;
    double fds_per_client = -1;
    double threads_per_client = -1;
    std::vector<double> query_us;
};

// What the server's side holds: its processes, their resident memory (the agent's own RSS; for
// socat the proportional share of the listener and its per-connection relays), descriptors
// and threads.
struct server_usage_t {
    std::vector<pid_t> processes;
    double kib = 0;
    double fds = 0;
    double threads = 0;
};

server_usage_t server_usage(pid_t server, int target) {
    server_usage_t usage;
    usage.processes.push_back(server);
    if (target == via_socat) {
        for (pid_t child : children_of(server)) {
            usage.processes.push_back(child);
        }
    }
    for (pid_t pid : usage.processes) {
        usage.kib += static_cast<double>(target == via_socat ? pss_kib(pid) : rss_kib(pid));
        usage.fds += count_fds(pid);
        usage.threads += count_threads(pid);
    }
    return usage;
}

double query_time(std::int64_t deadline) {
    double start = precise_us();
    link_t link = open_tcp(management_port, default_source, deadline);
    if (!link.in.valid() || !send_text(link, "query") ||
        !wait_text(link, "<<<querydone\n\n", 1, deadline)) {
        return -1;
    }
    double us = precise_us() - start;
    link.in.reset();  // a management connection takes no "quit"
    return us;
}

crowd_run_t run_crowd(const servers_t& servers, int target, int clients, bool with_queries) {
    crowd_run_t run;
    settle(servers, target, stockfish_engine);
    pid_t server = server_of(servers, target, stockfish_engine);
    server_usage_t before;
    if (server > 0) {
        before = server_usage(server, target);
    }
    crowd_gate_t gate;
    std::vector<crowd_client_t> results(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(crowd_client, target, i, &gate, &results[static_cast<std::size_t>(i)]);
    }
    const std::int64_t deadline = seconds_from_now(240);
    std::int64_t start = now_us();
    gate_open(gate, 1);
    bool all_in = gate_wait_finished(gate, 1, clients, deadline);
    std::int64_t connected = now_us();
    server_usage_t during;
    usage_snapshot_t cpu_before;
    if (server > 0 && all_in) {
        during = server_usage(server, target);
        run.rss_kib_per_client = (during.kib - before.kib) / clients;
        run.fds_per_client = (during.fds - before.fds) / clients;
        run.threads_per_client = (during.threads - before.threads) / clients;
        for (long q = 0; with_queries && q < opts.queries && !stopping(); ++q) {
            double us = query_time(seconds_from_now(10));
            if (us >= 0) {
                run.query_us.push_back(us);
            }
        }
        cpu_before = usage_snapshot(during.processes);
    }
    std::int64_t round_trips_start = now_us();
    gate_open(gate, 2);
    gate_wait_finished(gate, 2, clients, deadline);
    std::int64_t end = now_us();
    if (server > 0 && all_in) {
        double cpu = usage_between(cpu_before, usage_snapshot(during.processes)).cpu_s;
        run.cpu_ms_per_1000 =
            cpu * 1000 / (static_cast<double>(clients * opts.crowd_round_trips) / 1000);
    }
    gate_open(gate, 3);
    gate_wait_finished(gate, 3, clients, seconds_from_now(60));
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<double> client_medians;
    double total_round_trips = 0;
    for (const crowd_client_t& result : results) {
        run.failures += result.failures;
        total_round_trips += static_cast<double>(result.round_trips.size());
        if (!result.round_trips.empty()) {
            client_medians.push_back(median(result.round_trips));
        }
    }
    run.handshake_s = static_cast<double>(connected - start) / 1e6;
    run.wall_s = static_cast<double>(end - start - (round_trips_start - connected)) / 1e6;
    run.round_trips_per_s =
        total_round_trips / (static_cast<double>(end - round_trips_start) / 1e6);
    run.client_median_us = median(client_medians);
    settle(servers, target, stockfish_engine);
    return run;
}

void measure_crowd(const servers_t& servers, int clients) {
    char what[64];
    std::snprintf(what, sizeof(what), "%d clients x (handshake + %ld round trips), stockfish",
                  clients, opts.crowd_round_trips);
    progress(what);
    std::vector<crowd_run_t> runs[target_count];
    for (long r = 0; r < opts.crowd_runs && !stopping(); ++r) {
        for (int k = 0; k < target_count; ++k) {
            int target = static_cast<int>((r + k) % target_count);
            bool queries = clients == 64 && target == via_agent && servers.management;
            runs[target].push_back(run_crowd(servers, target, clients, queries));
        }
    }
    // The median over the runs of each figure.
    auto pick = [&](double crowd_run_t::*field, int target, bool sum = false) {
        std::vector<double> values;
        for (const crowd_run_t& run : runs[target]) {
            if (run.*field >= 0) {
                values.push_back(run.*field);
            }
        }
        if (values.empty()) {
            return -1.0;
        }
        if (sum) {
            double total = 0;
            for (double v : values) {
                total += v;
            }
            return total;
        }
        return median(values);
    };
    auto add = [&](const char* label, const char* stat, const char* unit,
                   double crowd_run_t::*field, bool with_direct = true, bool sum = false) {
        char row[48];
        std::snprintf(row, sizeof(row), "%d clients: %s", clients, label);
        return &add_figure(row, stat, unit, with_direct ? pick(field, via_direct, sum) : -1,
                           pick(field, via_socat, sum), pick(field, via_agent, sum));
    };
    hold_ratio_at_least_one(
        *add("round trips/s", "median", "1/s", &crowd_run_t::round_trips_per_s));
    add("wall (handshake + rt)", "median", "s", &crowd_run_t::wall_s);
    add("handshake phase", "median", "s", &crowd_run_t::handshake_s);
    add("per-client median rt", "median", "us", &crowd_run_t::client_median_us);
    hold_value_at_most(*add("failures", "total", "count", &crowd_run_t::failures, true, true), 0,
                       "0");
    add("server cpu / 1000 rt", "median", "ms", &crowd_run_t::cpu_ms_per_1000, false);
    if (clients != 64) {
        return;
    }
    hold_value_at_most(
        *add("resident per client", "median", "KiB", &crowd_run_t::rss_kib_per_client, false), 256,
        "<= 256 KiB");
    add("descriptors per client", "median", "count", &crowd_run_t::fds_per_client, false);
    add("threads per client", "median", "count", &crowd_run_t::threads_per_client, false);
    std::vector<double> queries;
    for (const crowd_run_t& run : runs[via_agent]) {
        queries.insert(queries.end(), run.query_us.begin(), run.query_us.end());
    }
    if (!queries.empty()) {
        add_figure("query with 64 clients", "median", "ms", -1, -1, median(queries) / 1000);
        add_figure("query with 64 clients", "p95", "ms", -1, -1, percentile(queries, 0.95) / 1000);
    } else if (servers.management) {
        note("query with 64 clients: no query was answered");
    }
}

// ---- Idle: what the servers do while nothing happens -------------------------------------------

// The agent's threads while no client is connected, counted at the first idle measurement.
int agent_idle_threads = 0;

void measure_idle(const servers_t& servers, const char* when) {
    char what[64];
    std::snprintf(what, sizeof(what), "idle %s, %ld s", when, opts.idle_seconds);
    progress(what);
    pid_t socat = servers.socat[0].pid;
    pid_t agent = servers.agent.pid;
    if (agent_idle_threads == 0) {
        agent_idle_threads = count_threads(agent);
    }
    // The threads of clients that have left are gone first.
    eventually([&] { return count_threads(agent) <= agent_idle_threads; }, 10000);
    usage_snapshot_t before[2] = {usage_snapshot({socat}), usage_snapshot({agent})};
    std::int64_t start = now_us();
    eventually([] { return false; }, opts.idle_seconds * 1000);
    double seconds = static_cast<double>(now_us() - start) / 1e6;
    thread_usage_t used[2] = {usage_between(before[0], usage_snapshot({socat})),
                              usage_between(before[1], usage_snapshot({agent}))};
    double cpu_ms[2] = {used[0].cpu_s * 1000 / seconds, used[1].cpu_s * 1000 / seconds};
    double wakeups[2] = {static_cast<double>(used[0].switches) / seconds,
                         static_cast<double>(used[1].switches) / seconds};
    char row[48];
    std::snprintf(row, sizeof(row), "idle %s: server cpu", when);
    hold_value_at_most(add_figure(row, "per s", "ms", -1, cpu_ms[0], cpu_ms[1]), 1.0,
                       "< 1 ms per s (blocks)");
    std::snprintf(row, sizeof(row), "idle %s: wake-ups", when);
    add_figure(row, "per s", "count", -1, wakeups[0], wakeups[1]);
    std::snprintf(row, sizeof(row), "idle %s: resident", when);
    add_figure(row, "total", "KiB", -1, static_cast<double>(rss_kib(socat)),
               static_cast<double>(rss_kib(agent)));
    std::snprintf(row, sizeof(row), "idle %s: threads", when);
    add_figure(row, "total", "count", -1, count_threads(socat), count_threads(agent));
}

// How busy the machine's processors are over one second, in percent, from /proc/stat: other
// work on the machine makes every figure noisier.
double machine_busy_percent() {
    auto sample = [](double* idle) {
        std::istringstream in(read_file("/proc/stat"));
        std::string cpu;
        double total = 0;
        double value = 0;
        in >> cpu;
        for (int field = 0; field < 8 && in >> value; ++field) {
            total += value;
            *idle += field == 3 || field == 4 ? value : 0;  // idle and waiting for I/O
        }
        return total;
    };
    double idle_before = 0;
    double idle_after = 0;
    double total_before = sample(&idle_before);
    pause_ms(1000);
    double total = sample(&idle_after) - total_before;
    return total > 0 ? 100 * (1 - (idle_after - idle_before) / total) : 0;
}

double busy_at_start = 0;

// ---- Output ---------------------------------------------------------------------------------

std::string number_text(double value) {
    char text[32];
    double size = value < 0 ? -value : value;
    const char* format = size >= 1000 ? "%.0f" : size >= 100 ? "%.1f" : size >= 1 ? "%.2f" : "%.3f";
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

const char* verdict_text(verdict_t verdict) {
    return verdict == verdict_met ? "met" : verdict == verdict_missed ? "MISSED" : "";
}

void print_table() {
    std::printf("\n%-34s %-6s %-5s %10s %10s %10s %11s  %-24s %s\n", "figure", "stat", "unit",
                "direct", "socat", "agent", "agent/socat", "target", "");
    for (const figure_t& f : figures) {
        std::string cells[target_count];
        for (int t = 0; t < target_count; ++t) {
            cells[t] = f.present[t] ? number_text(f.values[t]) : "-";
        }
        std::string ratio = has_ratio(f) ? number_text(ratio_of(f)) : "-";
        std::printf("%-34s %-6s %-5s %10s %10s %10s %11s  %-24s %s\n", f.row, f.stat, f.unit,
                    cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), ratio.c_str(), f.target,
                    verdict_text(f.verdict));
    }
    for (const std::string& text : notes) {
        std::printf("note: %s\n", text.c_str());
    }
    std::printf("machine %.0f%% busy before the first row (%u cores)\n", busy_at_start,
                std::thread::hardware_concurrency());
    std::fflush(stdout);
}

std::string json_text(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(*p) >= 0x20) {
            out += *p;
        }
    }
    return out + "\"";
}

std::string json_number(bool present, double value) {
    if (!present) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

bool write_json(const std::string& path) {
    std::ofstream out(path, std::ios::trunc);
    out << "{\n  \"run\": {\"quick\": " << (opts.quick ? "true" : "false")
        << ", \"cores\": " << std::thread::hardware_concurrency()
        << ", \"machine_busy_percent_at_start\": " << json_number(true, busy_at_start)
        << ", \"handshakes\": " << opts.handshakes << ", \"round_trips\": " << opts.round_trips
        << ", \"bursts\": " << opts.bursts << ", \"searches\": " << opts.searches
        << ", \"nodes\": " << opts.nodes << ", \"crowd_runs\": " << opts.crowd_runs
        << ", \"crowd_round_trips\": " << opts.crowd_round_trips << "},\n  \"figures\": [";
    for (std::size_t i = 0; i < figures.size(); ++i) {
        const figure_t& f = figures[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"figure\": " << json_text(f.row)
            << ", \"stat\": " << json_text(f.stat) << ", \"unit\": " << json_text(f.unit);
        for (int t = 0; t < target_count; ++t) {
            out << ", \"" << target_names[t] << "\": " << json_number(f.present[t], f.values[t]);
        }
        out << ", \"ratio\": " << json_number(has_ratio(f), has_ratio(f) ? ratio_of(f) : 0)
            << ", \"target\": " << json_text(f.target)
            << ", \"verdict\": " << json_text(verdict_text(f.verdict)) << "}";
    }
    out << "\n  ],\n  \"notes\": [";
    for (std::size_t i = 0; i < notes.size(); ++i) {
        out << (i == 0 ? "" : ", ") << json_text(notes[i].c_str());
    }
    out << "]\n}\n";
    return static_cast<bool>(out);
}

// True when --only names the group, or when it is not given.
bool selected(const char* group) {
    if (opts.only.empty()) {
        return true;
    }
    std::string list = "," + opts.only + ",";
    return list.find(std::string(",") + group + ",") != std::string::npos;
}

int run_benchmark() {
    servers_t servers;
    if (!start_servers(&servers)) {
        return 1;
    }
    std::fprintf(stderr, "agent pid %d in %s; socat pids %d %d\n", servers.agent.pid,
                 servers.agent_dir.c_str(), servers.socat[0].pid, servers.socat[1].pid);
    busy_at_start = machine_busy_percent();
    if (busy_at_start > 10) {
        char text[96];
        std::snprintf(text, sizeof(text), "the machine was %.0f%% busy before the first row",
                      busy_at_start);
        note(text);
    }
    const std::pair<const char*, std::function<void()>> groups[] = {
        {"idle", [&] { measure_idle(servers, "at start"); }},
        {"handshake", [&] { measure_handshakes(servers); }},
        {"round-trip", [&] { measure_round_trips(servers); }},
        {"burst", [&] { measure_bursts(servers); }},
        {"writes", [&] { measure_writes(servers); }},
        {"crowd", [&] { measure_crowd(servers, 8); }},
        {"crowd", [&] { measure_crowd(servers, 64); }},
        {"idle", [&] { measure_idle(servers, "at end"); }},
    };
    for (const auto& group : groups) {
        if (!stopping() && selected(group.first)) {
            group.second();
        }
    }
    if (stopping()) {
        note("interrupted: the figures are incomplete");
    }
    print_table();
    if (!write_json(opts.json_path)) {
        std::fprintf(stderr, "agent_bench: cannot write %s\n", opts.json_path.c_str());
        return 1;
    }
    std::printf("JSON: %s\n", opts.json_path.c_str());
    return stopping() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            usage();
            return 0;
        }
    }
    if (!parse_options(argc, argv)) {
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    return run_benchmark();
}
