// The command interpreter: cd, &&, copy, programs, redirections and
// statuses, with small scripts written into a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

#include "platform/tests/platform_test_support.h"

extern char** environ;

namespace {

using namespace test_support;

std::string cwd_now() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

// The pids of this process's children whose command name is comm.
std::vector<pid_t> children_named(const std::string& comm) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string stat = read_file(entry.path() / "stat");
        std::size_t open = stat.find('(');
        std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        // After ") " come the state letter and the parent's pid.
        long parent = std::atol(stat.c_str() + close + 4);
        if (parent == ::getpid() && stat.substr(open + 1, close - open - 1) == comm) {
            found.push_back(static_cast<pid_t>(std::atol(pid.c_str())));
        }
    }
    return found;
}

class command_test : public platform_fixture {
protected:
    // "cd <scratch dir> && " + rest.
    std::string in_dir(const std::string& rest) const { return "cd " + dir() + " && " + rest; }
    void copy_cat_to(const fs::path& path) const {
        fs::copy_file("/bin/cat", path, fs::copy_options::overwrite_existing);
    }
};

TEST_F(command_test, cd_sets_the_directory_of_the_rest_of_the_line) {
    const std::string pwd_script = "pwd -P > where.txt\n";
    write_script(dir_ / "pwd.sh", pwd_script);
    fs::create_directories(dir_ / "sub dir" / "deeper");
    write_script(dir_ / "sub dir" / "pwd.sh", pwd_script);
    write_script(dir_ / "sub dir" / "deeper" / "pwd.sh", pwd_script);
    std::string server_cwd = cwd_now();

    EXPECT_EQ(os_run_command(in_dir("pwd.sh")), 0);
    EXPECT_EQ(read_file(dir_ / "where.txt"), dir() + "\n");
    // A relative directory, with a blank in it, after the first cd.
    EXPECT_EQ(os_run_command(in_dir("cd sub dir && pwd.sh")), 0);
    EXPECT_EQ(read_file(dir_ / "sub dir" / "where.txt"), (dir_ / "sub dir").string() + "\n");
    // A trailing separator, as the server writes engine directories.
    EXPECT_EQ(os_run_command("cd " + dir() + "/sub dir/ && cd deeper && pwd.sh"), 0);
    EXPECT_EQ(read_file(dir_ / "sub dir" / "deeper" / "where.txt"),
              (dir_ / "sub dir" / "deeper").string() + "\n");

    EXPECT_EQ(cwd_now(), server_cwd);
}

TEST_F(command_test, a_failing_command_stops_the_line_with_its_status) {
    write_script(dir_ / "mark.sh", "touch marked\n");
    write_script(dir_ / "three.sh", "exit 3\n");
    write_file(dir_ / "plain.txt", "not a directory\n");
    struct case_t {
        std::string line;
        int status;
        bool marked;
    };
    const case_t cases[] = {
        {"cd " + dir() + "/missing && mark.sh", 1, false},
        {"cd " + dir() + "/plain.txt && mark.sh", 1, false},
        {in_dir("three.sh && mark.sh"), 3, false},
        {in_dir("mark.sh && three.sh"), 3, true},
        {in_dir("cd . && mark.sh"), 0, true},
        {in_dir("mark.sh && "), 1, true},  // an empty command after &&
    };
    for (const case_t& c : cases) {
        fs::remove(dir_ / "marked");
        EXPECT_EQ(os_run_command(c.line), c.status) << c.line;
        EXPECT_EQ(fs::exists(dir_ / "marked"), c.marked) << c.line;
    }
}

TEST_F(command_test, program_statuses) {
    fs::create_directories(dir_ / "sub");
    write_script(dir_ / "three.sh", "exit 3\n");
    write_script(dir_ / "sub" / "four.sh", "exit 4\n");
    write_script(dir_ / "term.sh", "kill -TERM $$\n");
    write_script(dir_ / "kill.sh", "kill -KILL $$\n");
    write_file(dir_ / "not_executable.sh", "#!/bin/sh\nexit 0\n", 0644);
    write_file(dir_ / "no_interpreter", "exit 0\n", 0755);
    fs::create_directories(dir_ / "a_directory");
    struct case_t {
        std::string command;
        int status;
    };
    const case_t cases[] = {
        {"three.sh", 3},
        {"sub/four.sh", 4},
        {dir() + "/three.sh", 3},
        {"term.sh", -SIGTERM},
        {"kill.sh", -SIGKILL},
        {"missing.sh", 9009},
        {"not_executable.sh", 9009},
        {"no_interpreter", 9009},
        {"a_directory", 9009},
        {"sh -c true", 9009},  // /bin/sh exists, but PATH is never searched
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(os_run_command(in_dir(c.command)), c.status) << c.command;
        if (c.status == 9009) {
            EXPECT_NE(os_last_error(), 0) << c.command;
        }
    }
}

TEST_F(command_test, arguments_reach_the_program_literally) {
    write_script(dir_ / "args.sh", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > args.txt\n");
    EXPECT_EQ(os_run_command(in_dir("args.sh a;b x|y $(touch pwned) `touch pwned2` 'q r' \"d\" * "
                                    "$HOME a&b \\n\t\ttabbed   spaced")),
              0);
    EXPECT_EQ(read_file(dir_ / "args.txt"),
              "a;b\nx|y\n$(touch\npwned)\n`touch\npwned2`\n'q\nr'\n\"d\"\n*\n$HOME\na&b\n\\n\n"
              "tabbed\nspaced\n");
    EXPECT_FALSE(fs::exists(dir_ / "pwned"));
    EXPECT_FALSE(fs::exists(dir_ / "pwned2"));
}

TEST_F(command_test, redirections_to_files) {
    copy_cat_to(dir_ / "cat");
    write_script(dir_ / "mark.sh", "touch marked\n");
    write_file(dir_ / "in.txt", "position startpos\ngo\n");
    write_file(dir_ / "out.txt", std::string(1000, 'x'));
    EXPECT_EQ(os_run_command(in_dir("cat < in.txt > out.txt")), 0);
    EXPECT_EQ(read_file(dir_ / "out.txt"), "position startpos\ngo\n");

    mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(os_run_command(in_dir("cat < in.txt > new.txt")), 0);
    EXPECT_EQ(mode_of(dir_ / "new.txt"), 0666 & ~mask);

    // A redirection that cannot be opened, or is incomplete, runs nothing.
    const std::string failing[] = {"mark.sh < missing.txt", "mark.sh > no_dir/out.txt", "mark.sh <",
                                   "mark.sh < in.txt < in.txt", "< in.txt"};
    for (const std::string& command : failing) {
        EXPECT_EQ(os_run_command(in_dir(command)), 1) << command;
        EXPECT_FALSE(fs::exists(dir_ / "marked")) << command;
    }
    // A missing program still creates its output file, as cmd does.
    EXPECT_EQ(os_run_command(in_dir("missing > created.txt")), 9009);
    EXPECT_TRUE(fs::exists(dir_ / "created.txt"));
}

TEST_F(command_test, copy_keeps_content_and_permission_bits) {
    fs::create_directories(dir_ / "engine");
    std::string content;
    for (int i = 0; i < 3 * 1024 * 1024; ++i) {
        content.push_back(static_cast<char>(i * 31 + i / 4096));
    }
    write_file(dir_ / "engine" / "e1.exe", content, 0751);
    write_file(dir_ / "engine" / "small", "small", 0640);
    // An older, longer target is replaced entirely and takes the new mode.
    write_file(dir_ / "engine" / "old.exe", content + content, 0600);

    EXPECT_EQ(os_run_command(in_dir("cd engine && copy e1.exe ovi_10.0.0.5_e1.exe")), 0);
    EXPECT_TRUE(read_file(dir_ / "engine" / "ovi_10.0.0.5_e1.exe") == content);
    EXPECT_EQ(mode_of(dir_ / "engine" / "ovi_10.0.0.5_e1.exe"), 0751u);

    EXPECT_EQ(os_run_command(in_dir("copy engine/e1.exe engine/old.exe")), 0);
    EXPECT_TRUE(read_file(dir_ / "engine" / "old.exe") == content);
    EXPECT_EQ(mode_of(dir_ / "engine" / "old.exe"), 0751u);

    EXPECT_EQ(os_run_command(in_dir("copy engine/small small_copy")), 0);
    EXPECT_EQ(read_file(dir_ / "small_copy"), "small");
    EXPECT_EQ(mode_of(dir_ / "small_copy"), 0640u);
}

TEST_F(command_test, a_copy_onto_its_unchanged_earlier_copy_writes_nothing_and_a_change_copies) {
    const fs::path source = dir_ / "e1.exe";
    const fs::path target = dir_ / "ovi.exe";
    const std::string copy = in_dir("copy e1.exe ovi.exe");
    auto change_time = [&] {
        struct stat st {};
        ::stat(target.c_str(), &st);
        return std::make_pair(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    };
    // File times move in steps of a clock tick: each change below comes a
    // few ticks after the copy before it.
    auto next_tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    write_file(source, "engine one", 0755);
    ASSERT_EQ(os_run_command(copy), 0);
    const auto copied = change_time();
    next_tick();
    ASSERT_EQ(os_run_command(copy), 0);
    EXPECT_EQ(change_time(), copied) << "the unchanged copy was written again";
    EXPECT_EQ(read_file(target), "engine one");

    struct case_t {
        const char* what;
        std::function<void()> change;
    };
    const case_t cases[] = {
        {"target content, same size", [&] { write_file(target, "ENGINE ONE", 0755); }},
        {"target mode", [&] { ::chmod(target.c_str(), 0700); }},
        {"source content", [&] { write_file(source, "engine two", 0755); }},
        {"source mode", [&] { ::chmod(source.c_str(), 0750); }},
        {"source replaced by a new file",
         [&] {
             write_file(dir_ / "new.exe", "engine six", 0755);
             fs::rename(dir_ / "new.exe", source);
         }},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.what);
        next_tick();
        c.change();
        next_tick();
        ASSERT_EQ(os_run_command(copy), 0);
        EXPECT_EQ(read_file(target), read_file(source));
        EXPECT_EQ(mode_of(target), mode_of(source));
    }
}

TEST_F(command_test, copy_failures_return_1_and_leave_files_alone) {
    write_file(dir_ / "e1.exe", "engine", 0755);
    fs::create_directories(dir_ / "a_directory");
    const std::string failing[] = {
        "copy missing.exe target.exe",
        "copy e1.exe no_dir/target.exe",
        "copy e1.exe e1.exe",
        "copy e1.exe ./e1.exe",
        "copy e1.exe",
        "copy e1.exe a b",
        "copy a_directory target.exe",
        "copy e1.exe a_directory",
    };
    for (const std::string& command : failing) {
        EXPECT_EQ(os_run_command(in_dir(command)), 1) << command;
        EXPECT_NE(os_last_error(), 0) << command;
        EXPECT_EQ(read_file(dir_ / "e1.exe"), "engine") << command;
    }
    EXPECT_FALSE(fs::exists(dir_ / "target.exe"));
}

// A script runs under its interpreter, so the kernel would let a copy
// overwrite it; the interpreter itself refuses while it runs.
TEST_F(command_test, copy_onto_a_running_script_fails_until_it_ends) {
    write_script(dir_ / "engine.sh", "read line\n");
    write_script(dir_ / "other.sh", "exit 0\n");
    std::string before = read_file(dir_ / "engine.sh");
    std::string name = unique_pipe_name("script");
    test_pipe_t in(name);
    auto status = start_command(in_dir("engine.sh < " + name));
    ASSERT_TRUE(os_connect_named_pipe(in.handle));

    EXPECT_EQ(os_run_command(in_dir("copy other.sh engine.sh")), 1);
    EXPECT_EQ(read_file(dir_ / "engine.sh"), before);

    in.close();
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 1);  // read found the end of its input
    EXPECT_EQ(os_run_command(in_dir("copy other.sh engine.sh")), 0);
    EXPECT_EQ(read_file(dir_ / "engine.sh"), read_file(dir_ / "other.sh"));
}

TEST_F(command_test, copy_onto_a_running_binary_fails) {
    copy_cat_to(dir_ / "ovi_cat");
    write_file(dir_ / "new.exe", "new engine", 0755);
    std::string before = read_file(dir_ / "ovi_cat");

    // Started by the interpreter, as the server starts an engine.
    std::string in_name = unique_pipe_name("bin_in");
    std::string out_name = unique_pipe_name("bin_out");
    test_pipe_t in(in_name);
    test_pipe_t out(out_name);
    auto status = start_command(in_dir("ovi_cat < " + in_name + " > " + out_name));
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(os_connect_named_pipe(out.handle));
    std::uint32_t n = 0;
    ASSERT_TRUE(os_write_pipe(in.handle, "?", 1, &n));
    char c = 0;
    ASSERT_TRUE(os_read_pipe(out.handle, &c, 1, &n));  // it is running now
    EXPECT_EQ(os_run_command(in_dir("copy new.exe ovi_cat")), 1);
    EXPECT_TRUE(read_file(dir_ / "ovi_cat") == before);
    in.close();
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);

    // Started elsewhere: the kernel refuses to write a running binary, which
    // only holds because the copy writes the target itself.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string path = (dir_ / "ovi_cat").string();
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[0]);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(os_run_command(in_dir("copy new.exe ovi_cat")), 1);
    EXPECT_EQ(os_last_error(), ETXTBSY);
    EXPECT_TRUE(read_file(dir_ / "ovi_cat") == before);
    ::close(ends[1]);
    int wstatus = 0;
    EXPECT_EQ(::waitpid(pid, &wstatus, 0), pid);
}

TEST_F(command_test, the_program_holds_only_descriptors_0_1_and_2) {
    // A descriptor the server forgot to mark close-on-exec must not leak.
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    std::string in_name = unique_pipe_name("fd_in");
    std::string out_name = unique_pipe_name("fd_out");
    test_pipe_t in(in_name);
    test_pipe_t out(out_name);
    auto status = start_command("cd /bin && cat < " + in_name + " > " + out_name);
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(os_connect_named_pipe(out.handle));
    std::uint32_t n = 0;
    ASSERT_TRUE(os_write_pipe(in.handle, "?", 1, &n));
    char c = 0;
    ASSERT_TRUE(os_read_pipe(out.handle, &c, 1, &n));

    std::vector<pid_t> cats = children_named("cat");
    ASSERT_EQ(cats.size(), 1u);
    std::set<std::string> fds;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(cats[0]) + "/fd")) {
        fds.insert(entry.path().filename().string());
    }
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));

    in.close();
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
    ::close(leaky);
}

// The server blocks its stop signals in every thread and ignores SIGPIPE;
// an engine must still end on SIGTERM and on a write to a closed pipe.
TEST_F(command_test, the_program_starts_with_no_signal_blocked_or_ignored) {
    write_script(dir_ / "signals.sh",
                 "exec grep -E '^Sig(Blk|Ign)' /proc/self/status > signals.txt\n");
    write_script(dir_ / "term.sh", "kill -TERM $$\n");
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigset_t before;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &stop, &before), 0);
    int signals_status = os_run_command(in_dir("signals.sh"));
    int term_status = os_run_command(in_dir("term.sh"));
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    EXPECT_EQ(signals_status, 0);
    unsigned long long blocked = ~0ull;
    unsigned long long ignored = ~0ull;
    ASSERT_EQ(std::sscanf(read_file(dir_ / "signals.txt").c_str(), "SigBlk: %llx SigIgn: %llx",
                          &blocked, &ignored),
              2);
    EXPECT_EQ(blocked, 0u);
    // Only the signals 1 to 31: glibc's posix_spawn leaves its own two
    // real-time signals ignored in every child.
    EXPECT_EQ(ignored & 0x7fffffffull, 0u);
    EXPECT_EQ(term_status, -SIGTERM);
}

// Many lines at once, each with its own directory; the server's own
// directory stays where it was.
TEST_F(command_test, lines_run_in_parallel_without_sharing_directories) {
    constexpr int lines = 8;
    std::string server_cwd = cwd_now();
    for (int i = 0; i < lines; ++i) {
        fs::path sub = dir_ / ("d" + std::to_string(i));
        fs::create_directories(sub);
        write_script(sub / "pwd.sh", "pwd -P > where.txt\nexit " + std::to_string(i) + "\n");
        write_file(sub / "e.exe", std::string(100000 + i, static_cast<char>('a' + i)), 0700);
    }
    std::vector<std::future<int>> results;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < lines; ++i) {
            std::string sub = "d" + std::to_string(i);
            results.push_back(start_command(in_dir("cd " + sub + " && copy e.exe ovi_" +
                                                   std::to_string(round) + ".exe && pwd.sh")));
        }
    }
    for (std::size_t k = 0; k < results.size(); ++k) {
        ASSERT_TRUE(ready_within(results[k]));
        EXPECT_EQ(results[k].get(), static_cast<int>(k % lines));
    }
    for (int i = 0; i < lines; ++i) {
        fs::path sub = dir_ / ("d" + std::to_string(i));
        EXPECT_EQ(read_file(sub / "where.txt"), sub.string() + "\n");
        EXPECT_TRUE(read_file(sub / "ovi_2.exe") == read_file(sub / "e.exe"));
    }
    EXPECT_EQ(cwd_now(), server_cwd);
}

}  // namespace
