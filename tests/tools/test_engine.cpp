// test_engine: a small scripted UCI engine for the end-to-end tests.
//
// It reads commands on stdin, one per line (trailing "\r", blanks and tabs stripped, empty lines
// ignored, the first word picks the command) and answers on stdout with write(2) only, so every
// answer leaves the process at once and the tests control how the output is split into writes.
//
// Options (unknown ones are ignored; a bad number keeps the default):
//   --name=TEXT       name in "id name" (default "Alpha 3.1")
//   --author=TEXT     name in "id author" (default "A. Writer")
//   --write=lines     each answer line is its own write (default)
//   --write=block     all lines of one answer go out in one write
//   --record=FILE     append every byte read from stdin to FILE, unbuffered, after each read
//   --raw-reads       read stdin with large read(2) calls instead of std::getline on std::cin
//   --big=N           "big": N bytes of "info string big NNNNNN xxx..." lines in one write
//                     (the last byte is "\n"), then "bigdone\n" in a write of its own
//   --chunk=TEXT      "chunk": TEXT in one write
//   --many=N          "many": N lines "info nodes K\n" (K = 1..N), each its own write, then
//                     "manydone\n"
//   --crash           "crash": the engine dies by SIGSEGV (no core file)
//   --exit=N          exit status on "quit" and at the end of input (default 0)
//   --ignore-eof      at the end of input keep running until --ignore-eof-ms have passed
//   --ignore-eof-ms=M the bound for --ignore-eof in milliseconds (default 30000)
//   --hello=TEXT      write TEXT in one write at start, before reading anything
//   --fds=FILE        at start, write the numbers of the open descriptors to FILE, one a line
//
// Commands: uci, isready, go, quit, and big / chunk / many / crash when enabled by their option;
// every other command (position, ucinewgame, setoption, stop, ...) is accepted silently.
//
// TEXT values take the escapes \n \t \r \\ \0, \s (a blank) and \xHH, so that texts with blanks,
// colons or zero bytes survive the server's configuration line, which splits arguments on ":".

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct options_t {
    std::string name = "Alpha 3.1";
    std::string author = "A. Writer";
    bool block_writes = false;
    std::string record_path;
    bool raw_reads = false;
    long big = -1;  // below 0: "big" is not enabled
    std::optional<std::string> chunk;
    long many = -1;  // below 0: "many" is not enabled
    bool crash = false;
    int exit_status = 0;
    bool ignore_eof = false;
    long ignore_eof_ms = 30000;
    std::optional<std::string> hello;
    std::string fds_path;
};

// Owns one file descriptor and closes it when it goes away.
struct owned_fd_t {
    int fd = -1;
    owned_fd_t() = default;
    owned_fd_t(const owned_fd_t&) = delete;
    owned_fd_t& operator=(const owned_fd_t&) = delete;
    ~owned_fd_t() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct dir_closer_t {
    void operator()(DIR* dir) const { closedir(dir); }
};

options_t opts;
owned_fd_t record_fd;

// Writes all of [data, data + len) to fd as one write request, repeating only after a partial
// write or an interrupted call.
void write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void emit(const std::string& text) {
    write_all(STDOUT_FILENO, text.data(), text.size());
}

// One answer of several lines: split into one write per line, or joined into a single write.
void emit_answer(const std::vector<std::string>& lines) {
    if (!opts.block_writes) {
        for (const std::string& line : lines) {
            emit(line);
        }
        return;
    }
    std::string joined;
    for (const std::string& line : lines) {
        joined += line;
    }
    emit(joined);
}

int hex_value(char c) {
    const char* digits = "0123456789abcdef";
    char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    const char* hit = lower == '\0' ? nullptr : std::strchr(digits, lower);
    return hit == nullptr ? -1 : static_cast<int>(hit - digits);
}

// Decodes \n \t \r \s \0 \\ and \xHH; any other backslash is kept as it is.
std::string decode_escapes(const std::string& text) {
    static const char names[] = {'n', 't', 'r', 's', '0', '\\'};
    static const char values[] = {'\n', '\t', '\r', ' ', '\0', '\\'};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char next = i + 1 < text.size() ? text[i + 1] : 'x';
        const void* hit = std::memchr(names, next, sizeof(names));
        if (text[i] == '\\' && hit != nullptr) {
            out += values[static_cast<const char*>(hit) - names];
            i += 1;
        } else if (text[i] == '\\' && next == 'x' && i + 3 < text.size() &&
                   hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool parse_number(const std::string& text, long& value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        return false;
    }
    value = parsed;
    return true;
}

void parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        std::string key = arg.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : arg.substr(eq + 1);
        long number = 0;
        if (key == "--name") {
            opts.name = decode_escapes(value);
        } else if (key == "--author") {
            opts.author = decode_escapes(value);
        } else if (key == "--write" && (value == "lines" || value == "block")) {
            opts.block_writes = value == "block";
        } else if (key == "--record") {
            opts.record_path = value;
        } else if (key == "--raw-reads") {
            opts.raw_reads = true;
        } else if (key == "--big" && parse_number(value, number) && number >= 0) {
            opts.big = number;
        } else if (key == "--chunk") {
            opts.chunk = decode_escapes(value);
        } else if (key == "--many" && parse_number(value, number) && number >= 0) {
            opts.many = number;
        } else if (key == "--crash") {
            opts.crash = true;
        } else if (key == "--exit" && parse_number(value, number)) {
            opts.exit_status = static_cast<int>(number);
        } else if (key == "--ignore-eof") {
            opts.ignore_eof = true;
        } else if (key == "--ignore-eof-ms" && parse_number(value, number) && number >= 0) {
            opts.ignore_eof_ms = number;
        } else if (key == "--hello") {
            opts.hello = decode_escapes(value);
        } else if (key == "--fds") {
            opts.fds_path = value;
        }
    }
}

// Lists the descriptors open in this process, leaving out the one that reads the listing.
void write_fd_list(const std::string& path) {
    std::vector<int> fds;
    {
        std::unique_ptr<DIR, dir_closer_t> dir(opendir("/proc/self/fd"));
        if (!dir) {
            return;
        }
        int own = dirfd(dir.get());
        while (dirent* entry = readdir(dir.get())) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            int fd = std::atoi(entry->d_name);
            if (fd != own) {
                fds.push_back(fd);
            }
        }
    }
    std::sort(fds.begin(), fds.end());
    std::ofstream out(path, std::ios::trunc);
    for (int fd : fds) {
        out << fd << "\n";
    }
}

void record(const char* data, size_t len) {
    if (record_fd.fd >= 0) {
        write_all(record_fd.fd, data, len);
    }
}

// N bytes of numbered 64-byte lines, cut so that the last byte is a newline.
std::string big_pattern(size_t size) {
    std::string out;
    out.reserve(size + 64);
    char line[80];
    for (size_t k = 0; out.size() < size; ++k) {
        int n = std::snprintf(line, sizeof(line), "info string big %06zu ", k % 1000000);
        std::string text(line, static_cast<size_t>(n));
        text.resize(63, 'x');
        out += text + "\n";
    }
    out.resize(size);
    if (size > 0) {
        out[size - 1] = '\n';
    }
    return out;
}

[[noreturn]] void crash_now() {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    std::abort();
}

// Runs one command line; returns false when the engine is to exit.
bool handle_line(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return true;
    }
    std::string word = line.substr(start, line.find_first_of(" \t", start) - start);

    if (word == "uci") {
        emit_answer({"id name " + opts.name + "\n", "id author " + opts.author + "\n",
                     "option name Ponder type check default false\n", "uciok\n"});
    } else if (word == "isready") {
        emit_answer({"readyok\n"});
    } else if (word == "go") {
        emit_answer({"info depth 1 score cp 20 nodes 20 pv e2e4\n",
                     "info depth 2 score cp 25 nodes 120 pv e2e4 e7e5\n", "bestmove e2e4\n"});
    } else if (word == "quit") {
        return false;
    } else if (word == "big" && opts.big >= 0) {
        emit(big_pattern(static_cast<size_t>(opts.big)));
        emit("bigdone\n");
    } else if (word == "chunk" && opts.chunk) {
        emit(*opts.chunk);
    } else if (word == "many" && opts.many >= 0) {
        for (long k = 1; k <= opts.many; ++k) {
            emit("info nodes " + std::to_string(k) + "\n");
        }
        emit("manydone\n");
    } else if (word == "crash" && opts.crash) {
        crash_now();
    }
    return true;
}

// Reads lines through std::getline; returns false when "quit" came.
bool read_with_getline() {
    std::string line;
    while (std::getline(std::cin, line)) {
        // getline drops the newline; a last line without one leaves the stream at its end.
        std::string received = std::cin.eof() ? line : line + "\n";
        record(received.data(), received.size());
        if (!handle_line(line)) {
            return false;
        }
    }
    return true;
}

// Reads stdin in large blocks and splits them into lines; returns false when "quit" came.
bool read_raw() {
    std::vector<char> buffer(65536);
    std::string pending;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        record(buffer.data(), static_cast<size_t>(n));
        pending.append(buffer.data(), static_cast<size_t>(n));
        size_t begin = 0;
        for (size_t nl; (nl = pending.find('\n', begin)) != std::string::npos; begin = nl + 1) {
            if (!handle_line(pending.substr(begin, nl - begin))) {
                return false;
            }
        }
        pending.erase(0, begin);
    }
    return pending.empty() || handle_line(pending);
}

// At the end of input an engine with --ignore-eof stays alive, bounded by --ignore-eof-ms.
void linger_after_eof() {
    if (!opts.ignore_eof) {
        return;
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.ignore_eof_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    // The descriptor list comes first, so that no descriptor of our own is in it.
    if (!opts.fds_path.empty()) {
        write_fd_list(opts.fds_path);
    }
    if (!opts.record_path.empty()) {
        record_fd.fd =
            open(opts.record_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (opts.hello) {
        emit(*opts.hello);
    }
    bool reached_eof = opts.raw_reads ? read_raw() : read_with_getline();
    if (reached_eof) {
        linger_after_eof();
    }
    return opts.exit_status;
}
