#include "control/engine_report.h"

#include <gtest/gtest.h>

#include "core/engine_registry.h"
#include "core/server_globals.h"

namespace {

class engine_report_test : public ::testing::Test {
protected:
    void SetUp() override {
        orvane_clear_engine_tables();
        orvane_copy_text(my_host_name, "CHESSHOST");
        orvane_copy_text(my_os_arch, "Windows X86-64");
    }
    static void add_client(engine_entry_t* entry, int slot, std::uint64_t sock, const char* ip,
                           const char* server_ip, const char* exe) {
        engine_instance_t& instance = entry->instances[slot];
        instance.in_use = 1;
        instance.sock = sock;
        orvane_copy_text(instance.client_ip, ip);
        orvane_copy_text(instance.server_ip, server_ip);
        orvane_copy_text(instance.instance_exe, exe);
    }
};

TEST_F(engine_report_test, empty_registry) {
    EXPECT_EQ(orvane_engine_report_text(),
              "\n===== Engine Table Entries from Server (CHESSHOST) OS-ARCH (Windows X86-64)  "
              "=====\n"
              "================================<<<querydone\n\n");
}

TEST_F(engine_report_test, worked_example_of_two_engines_and_one_client) {
    engine_entry_t* alpha =
        orvane_add_new_engine("C:\\agent\\alpha\\", "alpha.exe", "5001", "alpha", "");
    orvane_add_new_engine("C:\\agent\\beta\\", "beta.exe", "5004", "beta", "");
    add_client(alpha, 0, 340, "192.168.1.20", "192.168.1.5", "ovi_192.168.1.20_alpha.exe");
    EXPECT_EQ(orvane_engine_report_text(),
              "\n"
              "===== Engine Table Entries from Server (CHESSHOST) OS-ARCH (Windows X86-64)  =====\n"
              "Engine(alpha) TCP Port(5001)\n"
              "   Executable On Server(C:\\agent\\alpha\\alpha.exe)\n"
              "   Connected Users:\n"
              "      * Client IP[192.168.1.20] Socket(340) Server IP[192.168.1.5] Engine "
              "Instance(ovi_192.168.1.20_alpha.exe)\n"
              "\n"
              "Engine(beta) TCP Port(5004)\n"
              "   Executable On Server(C:\\agent\\beta\\beta.exe)\n"
              "   Connected Users:\n"
              "================================<<<querydone\n\n");
}

TEST_F(engine_report_test, claimed_slots_only_in_slot_order_with_unsigned_sockets) {
    engine_entry_t* alpha = orvane_add_new_engine("/w/alpha/", "alpha.exe", "5001", "alpha", "");
    add_client(alpha, 5, 18446744073709551615u, "10.0.0.9", "10.0.0.1", "b.exe");
    add_client(alpha, 2, 7, "10.0.0.8", "10.0.0.1", "a.exe");
    add_client(alpha, 3, 8, "10.0.0.7", "10.0.0.1", "gone.exe");
    alpha->instances[3].in_use = 0;  // a freed slot is simply not listed
    std::string report = orvane_engine_report_text();
    std::size_t first = report.find("Socket(7)");
    std::size_t second = report.find("Socket(18446744073709551615)");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(report.find("gone.exe"), std::string::npos);
}

}  // namespace
