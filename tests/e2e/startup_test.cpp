#include <gtest/gtest.h>
#include <signal.h>

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
        std::vector<std::string> messages = agent.messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[messages.size() - 2],
                  "<<<<<<<<<< Server terminated with sig(" + std::to_string(signal_number) + ").");
        EXPECT_EQ(messages.back(), "<<<<<<<<<<");
    }
}

}  // namespace
