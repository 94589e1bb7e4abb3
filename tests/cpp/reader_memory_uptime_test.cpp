#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sys_reader/memory.hpp"
#include "sys_reader/uptime.hpp"

namespace hostprobe {
namespace {

TEST(MemoryUsageParse, Table) {
    struct Row {
        std::string text;
        std::uint64_t total_bytes;
        std::uint64_t used_bytes;
    };
    const std::string base = "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 100 kB\n";
    const std::vector<Row> rows = {
        {base + "Cached: 300 kB\n", 1024000, 409600},
        {base + "Cached: 900 kB\n", 1024000, 0},
        {base + "Cached: 700 kB\n", 1024000, 0},
        {"MemTotal: 1000 kB\nMemFree: 200 kB\nCached: 300 kB\n", 1024000, 512000},
        {base + "SwapCached: 300 kB\nMemAvailable: 5 kB\n", 1024000, 716800},
        {"MemTotal 1000 kB\nMemFree: 200 kB\n", 0, 0},
        {"MemTotal:1000 kB\n", 0, 0},
        {"MemTotal: 5\n", 5120, 5120},
        {"MemTotal: 5 MB\n", 5120, 5120},
        {"MemTotal:\nMemFree: 1\n", 0, 0},
        {"MemTotal: 10\nMemFree: 1\nMemFree: 4\n", 10240, 6144},
        {"MemTotal: 10\nMemFree: 4\nMemFree:\n", 10240, 10240},
        {"MemTotal: 10\n   MemFree:\t4\n", 10240, 6144},
        {"MemTotal: 10\nMemFree:4\n", 10240, 10240},
        {"memtotal: 10\n", 0, 0},
        {"MemTotal: 10\r\nMemFree: 4\r\nBuffers: 1\r\nCached: 2", 10240, 3072},
        {"MemTotal:\xC2\xA0" "10\xE3\x80\x80kB\nMemFree:\xE2\x80\x83" "4\n", 10240, 6144},
        {"MemTotal: 10\nMemFree: -4\nBuffers: 2x\nCached: 18446744073709551616\n", 10240, 10240},
        // The multiplication by 1024 wraps modulo 2^64.
        {"MemTotal: 18014398509481985\n", 1024, 1024},
        {"", 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        const MemoryUsage usage = parse_memory_usage(row.text);
        EXPECT_EQ(usage.total_bytes, row.total_bytes);
        EXPECT_EQ(usage.used_bytes, row.used_bytes);
    }
}

TEST(PageFaultsParse, Table) {
    struct Row {
        std::string text;
        std::uint64_t reference_faults, reference_major;
        std::uint64_t faults, major;
    };
    const std::string both = "pgfree 7\npgfault 5000\npgmajfault 20\npgrefill 3\n";
    const std::vector<Row> rows = {
        {both, 0, 0, 5000, 20},
        {both, 4000, 5, 1000, 15},
        {both, 6000, 30, 0, 0},
        {"pgmajfault 20\n", 0, 0, 0, 20},
        {"pgfault 5000\n", 0, 0, 5000, 0},
        {"pgfault\npgmajfault\n", 0, 0, 0, 0},
        {"pgfault 9\npgfault \n", 0, 0, 0, 0},
        {"pgfault\t5000\npgmajfault\t20\n", 0, 0, 0, 0},
        {"pgfault_x 5000\npgmajfaults 20\n", 0, 0, 0, 0},
        {" pgfault 5000\n", 0, 0, 0, 0},
        {"pgfault 1\npgfault 2\npgmajfault 3\npgmajfault 4", 0, 0, 2, 4},
        {"pgfault 5000\r\npgmajfault 20\r\n", 0, 0, 5000, 20},
        {"pgfault 18446744073709551615\npgmajfault 18446744073709551616\n", 0, 0, 18446744073709551615u, 0},
        {"", 1, 1, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        const PageFaultDeltas deltas = parse_page_faults(row.text, row.reference_faults, row.reference_major);
        EXPECT_EQ(deltas.faults_delta, row.faults);
        EXPECT_EQ(deltas.major_faults_delta, row.major);
    }
}

TEST(UptimeParse, Table) {
    const std::vector<std::pair<std::string, double>> rows = {
        {"12345.67 54321.00\n", 12345.67},
        {"42", 42.0},
        {"1.5e3 1\n", 1500.0},
        {"-7.25 1\n", -7.25},
        {"inf 1\n", std::numeric_limits<double>::infinity()},
        {"12,5 54321.00\n", 0.0},
        {"x 54321.00\n", 0.0},
        {"\n\r\n  \t99.5 1\n", 99.5},
        {"\xE3\x80\x80" "3.25\xC2\xA0" "1", 3.25},
        {"", 0.0},
        {" \n\t", 0.0},
    };
    for (const auto& [text, seconds] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(parse_uptime(text), seconds);
    }
    EXPECT_TRUE(std::signbit(parse_uptime("-0 1")));
}

}  // namespace
}  // namespace hostprobe
