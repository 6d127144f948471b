#include "control/engine_scan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(engine_scan, parse_rules) {
    const std::string long_token(256, 'n');
    struct case_t {
        std::string line;
        orvane_line_kind_t kind;
        const char* name;
        const char* port;
        const char* exe;
        const char* args;
        bool appended;
    };
    const case_t cases[] = {
        {"# alpha 5001 alpha.exe", orvane_line_kind_t::skipped, "", "", "", "", false},
        {"", orvane_line_kind_t::skipped, "", "", "", "", false},
        {"  beta 5004 beta.exe", orvane_line_kind_t::skipped, "", "", "", "", false},
        {"\tbeta 5004 beta.exe", orvane_line_kind_t::skipped, "", "", "", "", false},
        {"\rbeta 5004 beta.exe", orvane_line_kind_t::skipped, "", "", "", "", false},
        {"alpha 5001 alpha.exe -t", orvane_line_kind_t::engine, "alpha", "5001", "alpha.exe", "-t",
         false},
        {"alpha\t5001  alpha.exe -t -v", orvane_line_kind_t::engine, "alpha", "5001", "alpha.exe",
         "-t", false},
        {"alpha 5001 alpha.exe -t\r", orvane_line_kind_t::engine, "alpha", "5001", "alpha.exe",
         "-t", false},
        {"gamma 5003 gamma", orvane_line_kind_t::engine, "gamma", "5003", "gamma.exe", "", true},
        {"alpha 5001 ALPHA.EXE", orvane_line_kind_t::engine, "alpha", "5001", "ALPHA.EXE.exe", "",
         true},
        {"alpha 5001 alpha.exe.old", orvane_line_kind_t::engine, "alpha", "5001", "alpha.exe.old",
         "", false},
        {"delta", orvane_line_kind_t::engine, "delta", "", ".exe", "", true},
        {"e 1 e.exe a:b:c", orvane_line_kind_t::engine, "e", "1", "e.exe", "a:b:c", false},
        {long_token + " 5001 x.exe", orvane_line_kind_t::too_long, "", "", "", "", false},
        {"alpha 5001 " + std::string(252, 'x'), orvane_line_kind_t::too_long, "", "", "", "",
         false},
        {"alpha 5001 a.exe " + std::string(255, 'a'), orvane_line_kind_t::engine, "alpha", "5001",
         "a.exe", nullptr, false},
    };
    for (const case_t& c : cases) {
        orvane_engine_line_t line{};
        orvane_line_kind_t kind = orvane_parse_engine_line(c.line, &line);
        ASSERT_EQ(kind, c.kind) << c.line;
        if (kind != orvane_line_kind_t::engine) {
            continue;
        }
        EXPECT_EQ(line.name, c.name) << c.line;
        EXPECT_EQ(line.port, c.port) << c.line;
        EXPECT_EQ(line.exe, c.exe) << c.line;
        if (c.args != nullptr) {
            EXPECT_EQ(line.args, c.args) << c.line;
        }
        EXPECT_EQ(line.exe_appended, c.appended) << c.line;
    }
}

}  // namespace
