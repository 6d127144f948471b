// Named pipes, bound by the command interpreter with /bin/cat and small
// scripts as the programs on the other end.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/tests/platform_test_support.h"

namespace {

using namespace test_support;

std::string cat_line(const std::string& in, const std::string& out) {
    return "cd /bin && cat < " + in + " > " + out;
}

// Reads until want bytes arrived, each read asking for at most the next
// length of lens in turn; false on a failed read.
bool read_exactly(os_handle_t pipe, std::size_t want, std::string* got_text,
                  const std::vector<std::uint32_t>& lens = {8192}) {
    std::vector<char> buf(65536);
    std::size_t turn = 0;
    while (got_text->size() < want) {
        std::uint32_t len = lens[turn++ % lens.size()];
        std::uint32_t got = 0;
        if (!os_read_pipe(pipe, buf.data(), len, &got)) {
            return false;
        }
        EXPECT_GT(got, 0u);
        EXPECT_LE(got, len);
        got_text->append(buf.data(), got);
    }
    return true;
}

// Expects the end of the program's output on this pipe.
void expect_end_of_output(os_handle_t pipe) {
    char c;
    std::uint32_t got = 99;
    EXPECT_FALSE(os_read_pipe(pipe, &c, 1, &got));
    EXPECT_EQ(os_last_error(), os_error_broken_pipe);
    EXPECT_EQ(got, 0u);
}

class pipes_test : public platform_fixture {};

TEST_F(pipes_test, connect_waits_for_the_interpreter_then_carries_lines_both_ways) {
    std::string in_name = unique_pipe_name("in");
    std::string out_name = unique_pipe_name("out");
    test_pipe_t in(in_name);
    test_pipe_t out(out_name);
    ASSERT_NE(in.handle, os_invalid_handle);
    ASSERT_NE(out.handle, os_invalid_handle);

    auto in_connected = start_connect(in.handle);
    auto out_connected = start_connect(out.handle);
    // Nothing has opened the other ends yet.
    EXPECT_FALSE(ready_within(in_connected, 50ms));
    EXPECT_FALSE(ready_within(out_connected, 1ms));

    auto status = start_command(cat_line(in_name, out_name));
    ASSERT_TRUE(ready_within(in_connected));
    ASSERT_TRUE(ready_within(out_connected));
    EXPECT_TRUE(in_connected.get().ok);
    EXPECT_TRUE(out_connected.get().ok);
    // Connecting again after the fact still counts as connected.
    EXPECT_TRUE(os_connect_named_pipe(in.handle));

    std::uint32_t written = 0;
    ASSERT_TRUE(os_write_pipe(in.handle, "uci\n", 4, &written));
    EXPECT_EQ(written, 4u);
    std::string echoed;
    ASSERT_TRUE(read_exactly(out.handle, 4, &echoed));
    EXPECT_EQ(echoed, "uci\n");

    // Closing the program's input ends it: the output ends, the line returns.
    in.close();
    expect_end_of_output(out.handle);
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
}

TEST_F(pipes_test, large_transfers_arrive_in_order_and_reads_take_at_most_len) {
    std::string in_name = unique_pipe_name("in");
    std::string out_name = unique_pipe_name("out");
    test_pipe_t in(in_name);
    test_pipe_t out(out_name);
    auto status = start_command(cat_line(in_name, out_name));
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(os_connect_named_pipe(out.handle));

    // One 70 KiB write (far above the pipe buffer), then 10000-byte writes.
    std::string payload;
    for (std::size_t i = 0; i < 170 * 1024; ++i) {
        payload.push_back(static_cast<char>('a' + (i * 7 + i / 251) % 26));
    }
    auto writer = std::async(std::launch::async, [&] {
        std::uint32_t first = 70 * 1024;
        std::uint32_t written = 0;
        bool ok = os_write_pipe(in.handle, payload.data(), first, &written) && written == first;
        for (std::size_t at = first; ok && at < payload.size(); at += 10000) {
            std::uint32_t len =
                static_cast<std::uint32_t>(std::min<std::size_t>(10000, payload.size() - at));
            ok = os_write_pipe(in.handle, payload.data() + at, len, &written) && written == len;
        }
        return ok;
    });
    std::string echoed;
    EXPECT_TRUE(read_exactly(out.handle, payload.size(), &echoed, {8192, 1, 7, 3000, 65536}));
    ASSERT_TRUE(ready_within(writer));
    EXPECT_TRUE(writer.get());
    EXPECT_TRUE(echoed == payload);

    in.close();
    expect_end_of_output(out.handle);
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
}

TEST_F(pipes_test, write_after_the_program_ended_fails_with_broken_pipe) {
    std::string in_name = unique_pipe_name("in");
    test_pipe_t in(in_name);
    auto status = start_command("cd /bin && true < " + in_name);
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);

    std::uint32_t written = 99;
    EXPECT_FALSE(os_write_pipe(in.handle, "go\n", 3, &written));
    EXPECT_EQ(os_last_error(), os_error_broken_pipe);
    EXPECT_EQ(written, 0u);
}

// The server's relays must not wait forever when the engine is missing.
TEST_F(pipes_test, a_program_that_cannot_start_still_connects_and_ends_both_pipes) {
    std::string in_name = unique_pipe_name("in");
    std::string out_name = unique_pipe_name("out");
    test_pipe_t in(in_name);
    test_pipe_t out(out_name);
    auto status =
        start_command("cd " + dir() + " && no_such_engine < " + in_name + " > " + out_name);
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(os_connect_named_pipe(out.handle));
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 9009);
    expect_end_of_output(out.handle);
    std::uint32_t written = 0;
    EXPECT_FALSE(os_write_pipe(in.handle, "x", 1, &written));
    EXPECT_EQ(os_last_error(), os_error_broken_pipe);
}

TEST_F(pipes_test, cancel_wakes_a_waiting_connect_and_fails_later_ones) {
    std::string name = unique_pipe_name("c");
    test_pipe_t pipe(name);
    auto connected = start_connect(pipe.handle);
    EXPECT_FALSE(ready_within(connected, 20ms));
    os_cancel_named_pipe(pipe.handle);
    ASSERT_TRUE(ready_within(connected));
    call_result_t r = connected.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, os_error_aborted);

    EXPECT_FALSE(os_connect_named_pipe(pipe.handle));
    EXPECT_EQ(os_last_error(), os_error_aborted);

    // A cancelled instance is never bound, and it does not block a new one.
    write_script(dir_ / "mark.sh", "touch marked\n");
    EXPECT_EQ(os_run_command("cd " + dir() + " && mark.sh < " + name), 1);
    EXPECT_FALSE(fs::exists(dir_ / "marked"));
    test_pipe_t next(name);
    EXPECT_NE(next.handle, os_invalid_handle);
}

TEST_F(pipes_test, cancel_after_connect_changes_nothing) {
    std::string name = unique_pipe_name("c");
    test_pipe_t pipe(name);
    auto status = start_command("cd /bin && cat < " + name + " > /dev/null");
    ASSERT_TRUE(os_connect_named_pipe(pipe.handle));
    os_cancel_named_pipe(pipe.handle);
    EXPECT_TRUE(os_connect_named_pipe(pipe.handle));
    std::uint32_t written = 0;
    EXPECT_TRUE(os_write_pipe(pipe.handle, "", 0, &written));
    pipe.close();
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
}

TEST_F(pipes_test, only_one_instance_of_a_name_waits_and_the_interpreter_takes_it) {
    std::string name = unique_pipe_name("busy");
    test_pipe_t first(name);
    ASSERT_NE(first.handle, os_invalid_handle);
    EXPECT_EQ(os_create_named_pipe(name.c_str()), os_invalid_handle);
    EXPECT_EQ(os_last_error(), os_error_pipe_busy);
    // Names compare without regard to letter case, as Windows does.
    std::string upper = name;
    upper.replace(4, 4, "PIPE");
    EXPECT_EQ(os_create_named_pipe(upper.c_str()), os_invalid_handle);
    EXPECT_EQ(os_last_error(), os_error_pipe_busy);

    auto first_status = start_command("cd /bin && cat < " + name + " > /dev/null");
    ASSERT_TRUE(os_connect_named_pipe(first.handle));

    // Connected, the first no longer blocks a second instance, and the next
    // command binds the second, not the first.
    test_pipe_t second(name);
    ASSERT_NE(second.handle, os_invalid_handle);
    auto second_status = start_command("cd /bin && cat < " + name + " > /dev/null");
    ASSERT_TRUE(os_connect_named_pipe(second.handle));
    std::uint32_t written = 0;
    EXPECT_TRUE(os_write_pipe(second.handle, "x\n", 2, &written));

    // With no waiting instance left the redirection fails.
    EXPECT_EQ(os_run_command("cd /bin && cat < " + name + " > /dev/null"), 1);
    EXPECT_EQ(os_last_error(), os_error_pipe_busy);

    first.close();
    second.close();
    ASSERT_TRUE(ready_within(first_status));
    ASSERT_TRUE(ready_within(second_status));
    EXPECT_EQ(first_status.get(), 0);
    EXPECT_EQ(second_status.get(), 0);

    // A closed waiting instance frees the name as well.
    test_pipe_t third(name);
    ASSERT_NE(third.handle, os_invalid_handle);
    third.close();
    test_pipe_t fourth(name);
    EXPECT_NE(fourth.handle, os_invalid_handle);
}

// Both redirections are bound together or not at all.
TEST_F(pipes_test, a_line_with_one_missing_pipe_binds_neither) {
    std::string in_name = unique_pipe_name("in");
    std::string out_name = unique_pipe_name("out");
    test_pipe_t in(in_name);
    write_script(dir_ / "mark.sh", "touch marked\n");
    EXPECT_EQ(os_run_command("cd " + dir() + " && mark.sh < " + in_name + " > " + out_name), 1);
    EXPECT_FALSE(fs::exists(dir_ / "marked"));

    // The input instance is still waiting: a later line binds it.
    test_pipe_t out(out_name);
    auto status = start_command(cat_line(in_name, out_name));
    ASSERT_TRUE(os_connect_named_pipe(in.handle));
    ASSERT_TRUE(os_connect_named_pipe(out.handle));
    in.close();
    expect_end_of_output(out.handle);
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
}

TEST_F(pipes_test, names_up_to_255_characters) {
    std::string prefix = "\\\\.\\pipe\\";
    std::string longest = prefix + std::string(255 - prefix.size(), 'n');
    test_pipe_t pipe(longest);
    ASSERT_NE(pipe.handle, os_invalid_handle);
    auto status = start_command("cd /bin && true < " + longest);
    ASSERT_TRUE(os_connect_named_pipe(pipe.handle));
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);

    const std::string bad_names[] = {longest + "n", "", "pipe\\x", prefix, "\\\\.\\pip\\x"};
    for (const std::string& bad : bad_names) {
        EXPECT_EQ(os_create_named_pipe(bad.c_str()), os_invalid_handle) << bad;
        EXPECT_NE(os_last_error(), 0) << bad;
    }
}

TEST_F(pipes_test, unknown_and_unconnected_handles_fail_quietly) {
    std::string name = unique_pipe_name("u");
    test_pipe_t waiting(name);
    os_handle_t closed = os_create_named_pipe(unique_pipe_name("gone").c_str());
    os_close_handle(closed);
    char buf[8];
    std::uint32_t n = 0;
    for (os_handle_t h : {waiting.handle, closed, os_invalid_handle}) {
        EXPECT_FALSE(os_read_pipe(h, buf, sizeof buf, &n));
        EXPECT_FALSE(os_write_pipe(h, "x", 1, &n));
    }
    for (os_handle_t h : {closed, os_invalid_handle}) {
        EXPECT_FALSE(os_connect_named_pipe(h));
        os_cancel_named_pipe(h);
        os_close_handle(h);
    }
    // The waiting instance is untouched by all that.
    auto connected = start_connect(waiting.handle);
    auto status = start_command("cd /bin && true < " + name);
    ASSERT_TRUE(ready_within(connected));
    EXPECT_TRUE(connected.get().ok);
    ASSERT_TRUE(ready_within(status));
    EXPECT_EQ(status.get(), 0);
}

TEST_F(pipes_test, clients_in_parallel_each_get_their_own_engine) {
    constexpr int clients = 6;
    std::vector<std::future<std::string>> results;
    for (int c = 0; c < clients; ++c) {
        results.push_back(std::async(std::launch::async, [c] {
            std::string in_name = unique_pipe_name("pin");
            std::string out_name = unique_pipe_name("pout");
            test_pipe_t in(in_name);
            test_pipe_t out(out_name);
            auto status = start_command(cat_line(in_name, out_name));
            if (!os_connect_named_pipe(in.handle) || !os_connect_named_pipe(out.handle)) {
                return std::string("no connect");
            }
            std::string mine(20000 + c, static_cast<char>('A' + c));
            std::uint32_t written = 0;
            auto writer = std::async(std::launch::async, [&] {
                return os_write_pipe(in.handle, mine.data(),
                                     static_cast<std::uint32_t>(mine.size()), &written);
            });
            std::string echoed;
            bool read_ok = read_exactly(out.handle, mine.size(), &echoed);
            bool write_ok = writer.get();
            in.close();
            int rc = status.get();
            if (!read_ok || !write_ok || rc != 0) {
                return std::string("transfer failed");
            }
            return echoed == mine ? std::string("ok") : std::string("mixed");
        }));
    }
    for (auto& r : results) {
        ASSERT_TRUE(ready_within(r));
        EXPECT_EQ(r.get(), "ok");
    }
}

}  // namespace
