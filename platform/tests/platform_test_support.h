// Helpers shared by the pipe and command interpreter tests: a scratch
// directory, small files and scripts, bounded waits, and a watchdog that
// ends a test run that hangs instead of letting it block forever.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace test_support {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Generous: only a broken build ever waits this long.
constexpr auto event_timeout = 20s;
constexpr auto test_limit = 60s;

// Aborts the process when a test has not ended within test_limit.
class watchdog_t {
public:
    watchdog_t() : thread_([this] { watch(); }) {}
    watchdog_t(const watchdog_t&) = delete;
    watchdog_t& operator=(const watchdog_t&) = delete;
    ~watchdog_t() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, test_limit, [this] { return done_; })) {
            std::fprintf(stderr, "test hung for more than %lld s; aborting\n",
                         static_cast<long long>(test_limit.count()));
            std::abort();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

inline void write_file(const fs::path& path, const std::string& text, mode_t mode = 0644) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    ::chmod(path.c_str(), mode);
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_script(const fs::path& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body, 0755);
}

inline mode_t mode_of(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// A new pipe name on every call, so tests never share an instance.
inline std::string unique_pipe_name(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "\\\\.\\pipe\\pt_" + tag + "_" + std::to_string(::getpid()) + "_" +
           std::to_string(counter++);
}

// A pipe handle that is closed when the test leaves its scope.
struct test_pipe_t {
    os_handle_t handle = os_invalid_handle;
    explicit test_pipe_t(const std::string& name) : handle(os_create_named_pipe(name.c_str())) {}
    test_pipe_t(const test_pipe_t&) = delete;
    test_pipe_t& operator=(const test_pipe_t&) = delete;
    ~test_pipe_t() { close(); }
    void close() {
        if (handle != os_invalid_handle) {
            os_close_handle(handle);
            handle = os_invalid_handle;
        }
    }
};

// The result of a platform call made on another thread, with that thread's
// os_last_error().
struct call_result_t {
    bool ok = false;
    int error = 0;
};

inline std::future<int> start_command(const std::string& line) {
    return std::async(std::launch::async, [line] { return os_run_command(line); });
}

inline std::future<call_result_t> start_connect(os_handle_t pipe) {
    return std::async(std::launch::async, [pipe] {
        call_result_t r;
        r.ok = os_connect_named_pipe(pipe);
        r.error = os_last_error();
        return r;
    });
}

template <class T>
bool ready_within(std::future<T>& f, std::chrono::milliseconds limit = event_timeout) {
    return f.wait_for(limit) == std::future_status::ready;
}

// A scratch directory per test, removed afterwards; SIGPIPE ignored as the
// server ignores it, so a write to a gone program fails instead of killing
// the test.
class platform_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               ("platform_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        dir_ = fs::canonical(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // The scratch directory as text, for command lines.
    std::string dir() const { return dir_.string(); }

    fs::path dir_;
    watchdog_t watchdog_;
};

}  // namespace test_support
