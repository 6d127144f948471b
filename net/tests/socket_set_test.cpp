#include "net/socket_set.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<os_socket_t> members(const orvane_socket_set_t& set) {
    return std::vector<os_socket_t>(set.handles, set.handles + set.count);
}

TEST(socket_set, add_keeps_order_and_refuses_duplicates) {
    orvane_socket_set_t set{};
    EXPECT_TRUE(socket_set_add(&set, 7));
    EXPECT_TRUE(socket_set_add(&set, 3));
    EXPECT_TRUE(socket_set_add(&set, 7));
    EXPECT_EQ(members(set), (std::vector<os_socket_t>{7, 3}));
    EXPECT_EQ(socket_set_contains(&set, 3), 1);
    EXPECT_EQ(socket_set_contains(&set, 4), 0);
}

TEST(socket_set, remove_cases) {
    struct case_t {
        std::vector<os_socket_t> before;
        os_socket_t removed;
        std::vector<os_socket_t> after;
    };
    const case_t cases[] = {
        {{1, 2, 3}, 2, {1, 3}},  // the middle member: the others keep their order
        {{1, 2, 3}, 1, {2, 3}},
        {{1, 2, 3}, 3, {1, 2}},
        {{1, 2, 3}, 9, {1, 2, 3}},  // not a member: no change
        {{}, 1, {}},
    };
    for (const case_t& c : cases) {
        orvane_socket_set_t set{};
        for (os_socket_t s : c.before) {
            socket_set_add(&set, s);
        }
        socket_set_remove(&set, c.removed);
        EXPECT_EQ(members(set), c.after);
    }
}

TEST(socket_set, a_full_set_refuses_silently) {
    orvane_socket_set_t set{};
    for (os_socket_t s = 100; s < 100 + orvane_set_capacity; ++s) {
        EXPECT_TRUE(socket_set_add(&set, s));
    }
    EXPECT_FALSE(socket_set_add(&set, 5));
    EXPECT_EQ(set.count, orvane_set_capacity);
    EXPECT_EQ(socket_set_contains(&set, 5), 0);
    socket_set_remove(&set, 5);
    EXPECT_EQ(set.count, orvane_set_capacity);
}

}  // namespace
