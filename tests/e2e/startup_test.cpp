#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <regex>

#include "tests/e2e/agent_harness.h"

namespace {

using e2e::agent_run;

TEST(startup, start_lines_come_first_with_the_prefix) {
    agent_run agent;
    agent.start_and_wait({"--ignored", "arguments"});
    std::vector<std::string> messages = agent.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], ">>>>>>>>>>");
    EXPECT_EQ(messages[1], ">>>>>>>>>> Server started ver=v2.2006.002");
    EXPECT_EQ(messages[2], "total engine table size = 2760960");
    std::regex prefix(R"(^\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2} Agent Server\[[^\]]*\] >>>>>>>>>>)");
    EXPECT_TRUE(std::regex_search(agent.log(), prefix));
    EXPECT_EQ(agent.stop(SIGTERM), SIGTERM);
}

TEST(startup, each_stop_signal_ends_with_its_number) {
    for (int signal_number : {SIGINT, SIGTERM, SIGABRT}) {
        agent_run agent;
        agent.start_and_wait();
        EXPECT_EQ(agent.stop(signal_number), signal_number);
        // Listeners that see the stop flag before the process is gone may
        // still add their closing lines; the two lines come in this order.
        std::vector<std::string> messages = agent.messages();
        const std::string terminated =
            "<<<<<<<<<< Server terminated with sig(" + std::to_string(signal_number) + ").";
        auto line = std::find(messages.begin(), messages.end(), terminated);
        ASSERT_NE(line, messages.end()) << agent.log();
        EXPECT_NE(std::find(line + 1, messages.end(), "<<<<<<<<<<"), messages.end());
    }
}

}  // namespace
