#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "sys_reader/byte_counters.hpp"
#include "sys_reader/child_process.hpp"
#include "sys_reader/cpu_temperature.hpp"
#include "sys_reader/cpu_times.hpp"
#include "sys_reader/firmware.hpp"
#include "sys_reader/load_average.hpp"
#include "sys_reader/memory.hpp"
#include "sys_reader/uptime.hpp"

namespace hostprobe {
namespace {

constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();

TEST(Readers, CpuTimesFromTheAggregateLine) {
    const CpuTimes times = parse_cpu_times(
        "cpu0 9 9 9 9 9 9 9 9\n cpu 7 7 7 7 7 7 7 7\ncpu  10 5 20 300 4 3 2 1 99 99\r\nctxtx 5\nctxt 1000\n",
        400);
    EXPECT_EQ((std::vector<std::uint64_t>{times.user, times.system, times.idle, times.iowait, times.irq,
                                          times.softirq, times.steal, times.total, times.ctxt_delta}),
              (std::vector<std::uint64_t>{15, 20, 300, 4, 3, 2, 1, 345, 600}));
    // Before 2.6.11 there was no steal column; fewer than seven columns is
    // no aggregate line; the total wraps; ctxt below the reference is 0.
    EXPECT_EQ(parse_cpu_times("cpu 1 1 1 1 1 1 1\n", 0).total, 7u);
    EXPECT_EQ(parse_cpu_times("cpu 1 1 1 1 1 1\n", 0).total, 0u);
    EXPECT_EQ(parse_cpu_times("cpu 18446744073709551615 2 0 0 0 0 0 0\n", 0).total, 1u);
    EXPECT_EQ(parse_cpu_times("ctxt 5\n", 9).ctxt_delta, 0u);
}

TEST(Readers, LoadAverageNeedsFiveTokens) {
    const LoadAverage load = parse_load_average("0.52 0.58\t0.59\u00a02/1203 12345\n");
    EXPECT_EQ((std::vector<float>{load.load_1, load.load_5, load.load_15, load.running}),
              (std::vector<float>{0.52f, 0.58f, 0.59f, 2.0f}));
    EXPECT_EQ(parse_load_average("0.52 0.58 0.59 2/1203\n").load_1, 0.0f);
    EXPECT_EQ(parse_load_average("x 0.58 0.59 nan/1203 1").load_1, 0.0f);
    EXPECT_TRUE(std::isnan(parse_load_average("x 0.58 0.59 nan/1203 1").running));
}

TEST(Readers, MemoryUsedSaturatesAndPageFaultsMatchWholeNames) {
    const MemoryUsage memory =
        parse_memory_usage("MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 900 kB\nBuffers:\t20 kB\n"
                           "SwapCached: 7 kB\nCached: 30 kB\nMemTotal 5 kB\n");
    EXPECT_EQ(memory.total_bytes, 1024000u);
    EXPECT_EQ(memory.used_bytes, 850u * 1024);
    EXPECT_EQ(parse_memory_usage("MemTotal: 10 kB\nMemFree: 11 kB\n").used_bytes, 0u);
    const PageFaultDeltas faults = parse_page_faults("pgfault_x 1\npgfault 500\npgmajfaultx 2\npgmajfault 70\n", 100, 80);
    EXPECT_EQ(faults.faults_delta, 400u);
    EXPECT_EQ(faults.major_faults_delta, 0u);
}

TEST(Readers, UptimeIsTheFirstField) {
    EXPECT_EQ(parse_uptime("\n12345.67 54321.00\n"), 12345.67);
    EXPECT_EQ(parse_uptime("x 54321.00\n"), 0.0);
}

TEST(Readers, ByteCountersPerDiskAndInterface) {
    const ByteCounterMap disks = parse_disk_counters(
        "   8       0 sda 10 0 1000 0 20 0 3 0 0 0 0\n"
        "   8       1 sda1 10 0 36028797018963968 0 20 0 x 0 0 0 0 0 0 0 0\n"
        "   8       2 short 10 0 1000 0 20 0 3 0 0 0\n");
    EXPECT_EQ(disks, (ByteCounterMap{{"sda", {512000, 1536}}, {"sda1", {0, 0}}}));
    const ByteCounterMap interfaces = parse_net_counters(
        "eth0: 1 1 0 0 0 0 0 0 2 1 0 0 0 0 0 0\n"
        "lo: 3 1 0 0 0 0 0 0 4 1 0 0 0 0 0 0\n"
        "  eth1:: 500 1 0 0 0 0 0 0 600 1 0 0 0 0 0 0\n"
        "wlan0: 5 1 0 0 0 0 0 0 6 1 0 0 0 0 0\n");
    EXPECT_EQ(interfaces, (ByteCounterMap{{"eth1", {500, 600}}}));
}

TEST(Readers, FirmwareAnswers) {
    EXPECT_EQ(parse_throttle_status("throttled=0x80050005\n"), 0x80050005u);
    EXPECT_EQ(parse_throttle_status("throttled=0x5 0x6"), 0u);
    EXPECT_EQ(parse_throttle_status("throttled=5"), 0u);
    EXPECT_EQ(parse_arm_clock("frequency(48)=1500000000\n"), 1500000000u);
    EXPECT_EQ(parse_arm_clock("frequency(48)=1=2"), 0u);
    EXPECT_EQ(parse_zone_temperature(" 45500\n"), 45.5f);
    EXPECT_EQ(parse_zone_temperature("-5000"), -5.0f);
    EXPECT_EQ(parse_zone_temperature(""), std::nullopt);
}

bool has_children() { return waitpid(-1, nullptr, WNOHANG) >= 0 || errno != ECHILD; }

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// Signals that interrupt every system call of the thread that waits for
// the child, as a host's timers and handlers may.
TEST(ChildProcess, RunsToItsEndThroughSignalsAndLeavesNothingBehind) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done = false;
    std::thread storm([&] {
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const std::size_t descriptors = open_descriptor_count();
    const auto in = [](int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); };
    struct Row {
        const char* script;
        std::size_t limit;
        std::optional<std::string> output;
    };
    const Row rows[] = {
        {"sleep 0.3; echo out; echo err >&2", 100, "out\n"},
        {"head -c 300000 /dev/zero >&2; echo out", 100, "out\n"},
        {"echo out; exit 1", 100, std::nullopt},
        {"echo 12345", 5, std::nullopt},
        {"echo out; exec sleep 30", 100, std::nullopt},
        {"exec >&-; sleep 30", 100, std::nullopt},
    };
    for (const Row& row : rows) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(run_to_completion("/bin/sh", {"sh", "-c", row.script}, in(1500), row.limit), row.output) << row.script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << row.script;
        EXPECT_FALSE(has_children()) << row.script;
        EXPECT_EQ(open_descriptor_count(), descriptors) << row.script;
    }
    done = true;
    storm.join();
    EXPECT_EQ(run_to_completion("/nonexistent", {"x"}, in(1000), 100), std::nullopt);
}

}  // namespace
}  // namespace hostprobe
