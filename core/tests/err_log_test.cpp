#include "core/err_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/server_globals.h"
#include "core/text.h"

namespace {

// Each test writes its log in a private directory of its own.
class err_log_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/err_log_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_TRUE(getcwd(old_cwd_, sizeof(old_cwd_)) != nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        orvane_copy_text(my_host_name, "host%shost");
    }
    void TearDown() override {
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::filesystem::remove_all(dir_);
    }
    std::vector<std::string> lines() {
        std::ifstream in(dir_ + "/" + err_file_name);
        std::vector<std::string> all;
        for (std::string line; std::getline(in, line);) {
            all.push_back(line);
        }
        return all;
    }
    std::string dir_;
    char old_cwd_[4096];
};

TEST_F(err_log_test, lines_carry_the_prefix_and_plain_text_is_literal) {
    orvane_write_err_logs_valist("value %d and %s\n", 42, "text");
    orvane_write_err_logs("plain %s %d 100%\n");
    std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), 2u);
    // A '%' in the host name is a plain character too.
    std::regex prefix(R"(^\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2} Agent Server\[host%shost\] )");
    for (const std::string& line : all) {
        EXPECT_TRUE(std::regex_search(line, prefix)) << line;
    }
    EXPECT_EQ(all[0].substr(all[0].find("] ") + 2), "value 42 and text");
    EXPECT_EQ(all[1].substr(all[1].find("] ") + 2), "plain %s %d 100%");
}

TEST_F(err_log_test, a_message_without_newline_is_continued_by_the_next_line) {
    orvane_write_err_logs("no end");
    orvane_write_err_logs("next\n");
    std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("no end"), std::string::npos);
    EXPECT_NE(all[0].find("Agent Server[host%shost] next"), std::string::npos);
}

TEST_F(err_log_test, lines_are_dropped_while_the_file_cannot_be_opened) {
    if (geteuid() == 0) {
        // root opens read-only files anyway: block the name with a directory.
        std::filesystem::create_directory(err_file_name);
        orvane_write_err_logs("lost\n");
        std::filesystem::remove(err_file_name);
    } else {
        std::ofstream(err_file_name).close();
        chmod(err_file_name, 0400);
        orvane_write_err_logs("lost\n");
        chmod(err_file_name, 0600);
    }
    orvane_write_err_logs("kept\n");
    std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("kept"), std::string::npos);
}

TEST_F(err_log_test, concurrent_writers_give_whole_lines_in_time_order) {
    constexpr int threads = 8;
    constexpr int per_thread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                if (i % 2 == 0) {
                    orvane_write_err_logs_valist("writer %d line %d end\n", t, i);
                } else {
                    orvane_write_err_logs("writer " + std::to_string(t) + " line " +
                                          std::to_string(i) + " end\n");
                }
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * per_thread));
    std::regex whole(R"(^\S+ Agent Server\[host%shost\] writer \d+ line \d+ end$)");
    std::string previous;
    for (const std::string& line : all) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
        std::string stamp = line.substr(0, 19);
        EXPECT_LE(previous, stamp);
        previous = stamp;
    }
}

}  // namespace
