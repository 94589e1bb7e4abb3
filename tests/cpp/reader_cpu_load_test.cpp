#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sys_reader/cpu_times.hpp"
#include "sys_reader/load_average.hpp"

namespace hostprobe {
namespace {

struct Ticks {
    std::uint64_t user, system, idle, iowait, irq, softirq, steal, total;
};

void expect_ticks(const CpuTimes& times, const Ticks& expected) {
    EXPECT_EQ(times.user, expected.user);
    EXPECT_EQ(times.system, expected.system);
    EXPECT_EQ(times.idle, expected.idle);
    EXPECT_EQ(times.iowait, expected.iowait);
    EXPECT_EQ(times.irq, expected.irq);
    EXPECT_EQ(times.softirq, expected.softirq);
    EXPECT_EQ(times.steal, expected.steal);
    EXPECT_EQ(times.total, expected.total);
}

TEST(CpuTimesParse, AggregateLineTable) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::vector<std::pair<std::string, Ticks>> rows = {
        {"cpu  10 20 30 40 50 60 70 80 90 100\n", {30, 30, 40, 50, 60, 70, 80, 360}},
        {"cpu 1 2 3 4 5 6 7\n", {3, 3, 4, 5, 6, 7, 0, 28}},
        {"cpu 1 2 3 4 5 6\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"cpu0 1 2 3 4 5 6 7 8\ncpu1 1 2 3 4 5 6 7 8\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"cpu\t1 2 3 4 5 6 7 8\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {" cpu 1 2 3 4 5 6 7 8\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"CPU 1 2 3 4 5 6 7 8\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"cpu 1 x 3 4 5 6 7 8\n", {1, 3, 4, 5, 6, 7, 8, 34}},
        {"cpu +5 -1 18446744073709551616 1 1 1 1 1\n", {5, 0, 1, 1, 1, 1, 1, 10}},
        {"cpu 1 2 3 4 5 6 7 8\r\nctxt 9\r\n", {3, 3, 4, 5, 6, 7, 8, 36}},
        {"intr 5\ncpu 1 2 3 4 5 6 7 8", {3, 3, 4, 5, 6, 7, 8, 36}},
        {"cpu\xC2\xA0" "1 2 3 4 5 6 7 8\n", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"cpu 1\xE3\x80\x80" "2\xC2\xA0" "3 4 5 6 7 8\n", {3, 3, 4, 5, 6, 7, 8, 36}},
        // A later aggregate line wins; without a steal column it keeps the earlier steal.
        {"cpu 1 1 1 1 1 1 1 9\ncpu 2 2 2 2 2 2 2\n", {4, 2, 2, 2, 2, 2, 9, 23}},
        {"cpu 1 1 1 1 1 1 1 9\ncpu 2 2 2\n", {2, 1, 1, 1, 1, 1, 9, 16}},
        // Sums wrap modulo 2^64.
        {"cpu 18446744073709551615 2 0 0 0 0 0 0\n", {1, 0, 0, 0, 0, 0, 0, 1}},
        {"cpu 0 0 18446744073709551615 0 0 0 0 5\n", {0, max, 0, 0, 0, 0, 5, 4}},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        expect_ticks(parse_cpu_times(text, 0), expected);
    }
}

TEST(CpuTimesParse, ContextSwitchesTable) {
    struct Row {
        std::string text;
        std::uint64_t reference;
        std::uint64_t delta;
    };
    const std::vector<Row> rows = {
        {"ctxt 1000\n", 0, 1000},
        {"ctxt 1000\n", 400, 600},
        {"ctxt 1000\n", 1000, 0},
        {"ctxt 1000\n", 1500, 0},
        {"ctxt \n", 0, 0},
        {"ctxt\n", 0, 0},
        {"ctxt\t1000\n", 0, 0},
        {"ctxts 1000\n", 0, 0},
        {"ctxt 5\nctxt 7", 0, 7},
        {"ctxt 5\nctxt x\n", 0, 0},
        {"ctxt 18446744073709551615\n", 1, 18446744073709551614u},
        {"ctxt 18446744073709551616\n", 0, 0},
        {"", 3, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text) + " reference " + std::to_string(row.reference));
        EXPECT_EQ(parse_cpu_times(row.text, row.reference).ctxt_delta, row.delta);
    }
}

TEST(CpuTimesParse, RealisticFile) {
    const std::string stat =
        "cpu  4705 356 584 3699176 23 23 0 0 0 0\n"
        "cpu0 1393 280 255 12239 4 8 0 0 0 0\n"
        "intr 1462898 0 0 0 0\n"
        "ctxt 115315\n"
        "btime 1700000000\n"
        "processes 2915\n";
    const CpuTimes times = parse_cpu_times(stat, 15);
    expect_ticks(times, {5061, 584, 3699176, 23, 23, 0, 0, 3704867});
    EXPECT_EQ(times.ctxt_delta, 115300u);
}

void expect_load(const LoadAverage& load, float running, float load_1, float load_5, float load_15) {
    EXPECT_EQ(load.running, running);
    EXPECT_EQ(load.load_1, load_1);
    EXPECT_EQ(load.load_5, load_5);
    EXPECT_EQ(load.load_15, load_15);
}

TEST(LoadAverageParse, Table) {
    struct Row {
        std::string text;
        LoadAverage expected;
    };
    const std::vector<Row> rows = {
        {"0.52 0.58 0.59 2/1203 12345\n", {2.0f, 0.52f, 0.58f, 0.59f}},
        {"0.52 0.58 0.59 2/1203\n", {}},
        {"0.52 0.58\n0.59\r\n2/1203\n12345", {2.0f, 0.52f, 0.58f, 0.59f}},
        {"0.52 0.58 0.59 3 1", {3.0f, 0.52f, 0.58f, 0.59f}},
        {"0.52 0.58 0.59 /1203 1", {0.0f, 0.52f, 0.58f, 0.59f}},
        {"0.52 0.58 0.59 x/10 1", {0.0f, 0.52f, 0.58f, 0.59f}},
        {"0.52 0,58 0.59 2/1203 1", {2.0f, 0.52f, 0.0f, 0.59f}},
        {"1e40 -1 .5 7/8/9 1 2 3\nmore\n", {7.0f, std::numeric_limits<float>::infinity(), -1.0f, 0.5f}},
        {"0.52\xC2\xA0" "0.58\t0.59\xE2\x80\xA8" "2/1203 1", {2.0f, 0.52f, 0.58f, 0.59f}},
        {"", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        expect_load(parse_load_average(row.text), row.expected.running, row.expected.load_1, row.expected.load_5,
                    row.expected.load_15);
    }
}

TEST(LoadAverageParse, NanRunningCountIsKept) {
    EXPECT_TRUE(std::isnan(parse_load_average("1 2 3 nan/5 6").running));
}

}  // namespace
}  // namespace hostprobe
