#include "core/engine_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

class registry_test : public ::testing::Test {
protected:
    void SetUp() override { orvane_clear_engine_tables(); }
};

TEST_F(registry_test, table_has_the_size_the_start_line_reports) {
    EXPECT_EQ(sizeof(engine_tables), 2760960u);
}

TEST_F(registry_test, find_matches_exact_case_sensitive_names_only) {
    EXPECT_EQ(orvane_find_engine(""), 0);
    EXPECT_EQ(orvane_find_engine("alpha"), 0);
    engine_entry_t* entry =
        orvane_add_new_engine("/srv/alpha/", "alpha.exe", "5001", "alpha", "-t");
    ASSERT_EQ(entry, &engine_tables[0]);
    EXPECT_EQ(orvane_find_engine("alpha"), 1);
    for (const char* other : {"Alpha", "ALPHA", "alph", "alpha ", "alphax", ""}) {
        EXPECT_EQ(orvane_find_engine(other), 0) << other;
    }
    // Each text lands in the field of its own name, whatever the call order.
    EXPECT_STREQ(entry->dir, "/srv/alpha/");
    EXPECT_STREQ(entry->exe, "alpha.exe");
    EXPECT_STREQ(entry->port, "5001");
    EXPECT_STREQ(entry->name, "alpha");
    EXPECT_STREQ(entry->args, "-t");
}

TEST_F(registry_test, thirty_two_entries_then_null_and_no_change) {
    for (int i = 0; i < orvane_max_engines; ++i) {
        std::string name = "e" + std::to_string(i);
        EXPECT_EQ(orvane_add_new_engine("d", "x.exe", "1", name.c_str(), ""), &engine_tables[i]);
    }
    EXPECT_EQ(orvane_add_new_engine("d", "x.exe", "1", "late", ""), nullptr);
    EXPECT_EQ(orvane_find_engine("late"), 0);
    EXPECT_STREQ(engine_tables[31].name, "e31");
}

TEST_F(registry_test, claims_take_the_lowest_free_slot) {
    engine_entry_t* entry = orvane_add_new_engine("d", "x.exe", "1", "alpha", "");
    engine_instance_t fill{};
    fill.sock = os_invalid_socket;
    orvane_copy_text(fill.client_ip, "10.0.0.5");
    engine_instance_t* slots[3];
    for (int i = 0; i < 3; ++i) {
        slots[i] = orvane_claim_instance(entry, fill);
        ASSERT_EQ(slots[i], &entry->instances[i]);
        EXPECT_EQ(slots[i]->engine, entry);
        EXPECT_STREQ(slots[i]->client_ip, "10.0.0.5");
    }
    orvane_release_instance(slots[0]);
    EXPECT_STREQ(entry->instances[0].client_ip, "10.0.0.5");  // texts stay
    EXPECT_EQ(orvane_claim_instance(entry, fill), &entry->instances[0]);
    for (int i = 3; i < orvane_max_instances; ++i) {
        EXPECT_NE(orvane_claim_instance(entry, fill), nullptr);
    }
    EXPECT_EQ(orvane_claim_instance(entry, fill), nullptr);
}

TEST_F(registry_test, busy_flag_waiter_takes_it_after_release) {
    orvane_busy_acquire("busy test: first holder %d\n", 1);
    std::thread waiter([] {
        orvane_busy_acquire("busy test: second holder %d\n", 2);
        orvane_busy_release_quiet();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard<std::mutex> hold(orvane_table_lock);
        EXPECT_EQ(lock_scan, 1);
    }
    auto released = std::chrono::steady_clock::now();
    orvane_busy_release_quiet();
    waiter.join();
    // The waiter polls every 1000 ms: it takes the flag within one step.
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::milliseconds(1900));
    std::lock_guard<std::mutex> hold(orvane_table_lock);
    EXPECT_EQ(lock_scan, 0);
}

}  // namespace
