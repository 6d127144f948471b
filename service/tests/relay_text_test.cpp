#include <gtest/gtest.h>

#include <string>

#include "core/engine_registry.h"
#include "service/client_login.h"
#include "service/process_runner.h"
#include "service/request_relay.h"
#include "service/response_relay.h"

namespace {

std::string rewrite(const std::string& chunk) {
    return orvane_rewrite_identification(chunk.data(), chunk.size(), "QAV_X64WIN_", "192.168.1.20",
                                         "alpha");
}

TEST(response_rewrite, identification_lines) {
    const std::string prefix = "id name QAV_X64WIN_192.168.1.20_alpha##";
    struct case_t {
        std::string chunk;
        std::string sent;
    };
    const case_t cases[] = {
        // One write of the whole uci answer: 88 bytes in, 119 out.
        {"id name Alpha 3.1\nid author A. Writer\noption name Ponder type check default "
         "false\nuciok\n",
         prefix + "Alpha 3.1\nid author A. Writer\noption name Ponder type check default "
                  "false\nuciok\n"},
        {"id name Alpha 3.1\n", prefix + "Alpha 3.1\n"},
        {"id name \n", prefix + "\n"},
        {"id author A. Writer\n", "id author A. Writer\n"},
        // Not an identification: "id name" inside a word or later in a line.
        {"info string invalid name given\n", "info string invalid name given\n"},
        {"info string id name X\n", "info string id name X\n"},
        // The line before the identification is kept.
        {"info string hello\nid name Alpha\n", "info string hello\n" + prefix + "Alpha\n"},
        // Only the first identification line of a chunk.
        {"id name A\nid name B\n", prefix + "A\nid name B\n"},
        {"id nameX\n", "id nameX\n"},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(rewrite(c.chunk), c.sent) << c.chunk;
    }
    EXPECT_EQ(rewrite(cases[0].chunk).size(), 119u);
    EXPECT_EQ(cases[0].chunk.size(), 88u);
}

TEST(response_rewrite, bytes_after_a_zero_byte_are_kept) {
    const std::string chunk("abc\0id name X\n", 14);
    EXPECT_EQ(rewrite(chunk), chunk);
    const std::string full(8192, 'x');
    EXPECT_EQ(rewrite(full), full);
}

TEST(engine_command, argument_text_table) {
    struct case_t {
        const char* args;
        const char* text;
    };
    const case_t cases[] = {
        {"", ""},
        {"x", " x "},
        {"--threads:2", " --threads 2 "},
        {"-q:-t:4", " -q -t 4 "},
        {"a::b", " a  b "},
        {"a:", " a  "},
        {":a", "  a "},
        {":", "   "},
        {"100%:%d", " 100% %d "},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(orvane_argument_text(c.args), c.text) << c.args;
    }
}

TEST(engine_command, command_lines) {
    EXPECT_EQ(
        orvane_engine_command("C:\\srv\\alpha\\", "ovi_10.0.0.5_alpha.exe", "--threads:2",
                              "\\\\.\\pipe\\alpha_req_10.0.0.5", "\\\\.\\pipe\\alpha_rsp_10.0.0.5"),
        "cd C:\\srv\\alpha\\ && ovi_10.0.0.5_alpha.exe --threads 2  < "
        "\\\\.\\pipe\\alpha_req_10.0.0.5 > \\\\.\\pipe\\alpha_rsp_10.0.0.5");
    EXPECT_EQ(orvane_engine_command("/srv/alpha/", "ovi_10.0.0.5_alpha.exe", "", "\\\\.\\pipe\\r",
                                    "\\\\.\\pipe\\s"),
              "cd /srv/alpha/ && ovi_10.0.0.5_alpha.exe < \\\\.\\pipe\\r > \\\\.\\pipe\\s");
}

TEST(client_login, per_client_names) {
    engine_entry_t entry{};
    orvane_copy_text(entry.name, "e1");
    orvane_copy_text(entry.dir, "C:\\srv\\e1\\");
    orvane_copy_text(entry.exe, "e1.exe");
    orvane_login_names_t names = orvane_login_names(entry, "10.0.0.5");
    EXPECT_EQ(names.req_pipe_name, "\\\\.\\pipe\\e1_req_10.0.0.5");
    EXPECT_EQ(names.rsp_pipe_name, "\\\\.\\pipe\\e1_rsp_10.0.0.5");
    EXPECT_EQ(names.instance_exe, "ovi_10.0.0.5_e1.exe");
    EXPECT_EQ(names.copy_command, "cd C:\\srv\\e1\\ && copy e1.exe ovi_10.0.0.5_e1.exe");
}

TEST(request_framing, newline_rule_and_long_commands) {
    orvane_request_framer_t framer;
    EXPECT_EQ(orvane_frame_request(&framer, "uci\n", 4, false), "uci\n\n");
    EXPECT_EQ(orvane_frame_request(&framer, "isready", 7, false), "isready\n");
    // A long command: the full receive and what follows it up to the
    // client's newline go out as they came.
    std::string full(1024, 'm');
    EXPECT_EQ(orvane_frame_request(&framer, full.data(), 1024, true), full);
    EXPECT_TRUE(framer.in_long_command);
    EXPECT_EQ(orvane_frame_request(&framer, "moves", 5, false), "moves");
    EXPECT_EQ(orvane_frame_request(&framer, "e2e4\nisready", 12, false), "e2e4\nisready\n");
    EXPECT_FALSE(framer.in_long_command);
    // A full receive that ends with its newline is a whole command.
    std::string whole(1023, 'w');
    whole += "\n";
    EXPECT_EQ(orvane_frame_request(&framer, whole.data(), 1024, true), whole);
    EXPECT_FALSE(framer.in_long_command);
    EXPECT_EQ(orvane_frame_request(&framer, "go", 2, false), "go\n");
}

}  // namespace
