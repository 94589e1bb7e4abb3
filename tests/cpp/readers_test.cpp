#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sys_reader/byte_counters.hpp"
#include "sys_reader/child_process.hpp"
#include "sys_reader/cpu_temperature.hpp"
#include "sys_reader/cpu_times.hpp"
#include "sys_reader/firmware.hpp"
#include "sys_reader/load_average.hpp"
#include "sys_reader/memory.hpp"
#include "sys_reader/text.hpp"
#include "sys_reader/uptime.hpp"
#include "sys_reader/utf8.hpp"

namespace hostprobe {
namespace {

using Strings = std::vector<std::string>;

template <class Range>
Strings collect(const Range& range) {
    Strings pieces;
    for (std::string_view piece : range) pieces.emplace_back(piece);
    return pieces;
}

TEST(Text, SplitsLinesTokensAndPieces) {
    EXPECT_EQ(collect(split_lines("a\r\nb\r\r\n\nc")), (Strings{"a", "b\r", "", "c"}));
    EXPECT_EQ(collect(split_lines("a\n")), (Strings{"a"}));
    EXPECT_EQ(collect(split_lines("")), Strings{});
    // Every Unicode White_Space character separates tokens; U+200B and
    // U+FEFF are no white space.
    EXPECT_EQ(collect(split_tokens(" a\tb\u00a0c\u0085d\u1680e\u2000f\u200ag\u2028h\u202fi\u205fj\u3000k\v\f")),
              (Strings{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}));
    EXPECT_EQ(collect(split_tokens("x\u200by\ufeffz\u00a1")), (Strings{"x\u200by\ufeffz\u00a1"}));
    // Long runs, read eight bytes at a time.
    EXPECT_EQ(
        collect(split_tokens("          123456789012345678\x7f\x01~\u00a0\u00a0\u00a0\u00a0ab\u2003cdefghij    ")),
        (Strings{"123456789012345678\x7f\x01~", "ab", "cdefghij"}));
    EXPECT_EQ(collect(split_on_char("2/1203/", '/')), (Strings{"2", "1203", ""}));
    EXPECT_EQ(collect(split_on_char("", '/')), (Strings{""}));
    EXPECT_EQ(trim_text("\u3000 12 3\u00a0\n"), "12 3");
}

TEST(Text, ParsesUnsignedNumbersInEitherRadix) {
    constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(parse_unsigned<std::uint64_t>("18446744073709551615", 10), u64_max);
    EXPECT_EQ(parse_unsigned<std::uint64_t>("+007", 10), 7u);
    for (const char* bad : {"18446744073709551616", "99999999999999999999", "", "+", "-1", "1 ", "0x1", "1e3", "a"}) {
        EXPECT_EQ(parse_unsigned<std::uint64_t>(bad, 10), std::nullopt) << bad;
    }
    EXPECT_EQ(parse_unsigned<std::uint32_t>("ffffFFFF", 16), 0xFFFFFFFFu);
    EXPECT_EQ(parse_unsigned<std::uint32_t>("000000050005", 16), 0x50005u);
    for (const char* bad : {"100000000", "fg", "", "-5", "0x5"}) {
        EXPECT_EQ(parse_unsigned<std::uint32_t>(bad, 16), std::nullopt) << bad;
    }
}

TEST(Text, ParsesDecimalFloatsOfTheKernelGrammar) {
    EXPECT_EQ(parse_f32("0.52"), 0.52f);
    EXPECT_EQ(parse_f32("1e-50"), 0.0f);
    EXPECT_EQ(parse_f32("-INFINITY"), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(*parse_f32("NaN")));
    EXPECT_EQ(parse_f64("4.9e-324"), 4.9e-324);
    for (const char* bad : {"", ".", "1e", "0x1p3", "1,5", "1.2.3", "in", "nan(1)", " 1", "1f"}) {
        EXPECT_EQ(parse_f64(bad), std::nullopt) << bad;
    }
}

TEST(Utf8, ValidatesAndReplacesMaximalIllFormedParts) {
    EXPECT_TRUE(is_valid_utf8("\x7F \xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(is_valid_utf8(std::string("eight by\0tes", 12)));
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5",
                            "ascii ascii \x80", "\xE2\x82", "\xE2\x82 x"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
    // What Python's bytes.decode("utf-8", "replace") gives.
    EXPECT_EQ(decode_utf8_lossy("a\xF0\x9F\x98\x80"
                                "b"),
              "a\xF0\x9F\x98\x80"
              "b");
    EXPECT_EQ(decode_utf8_lossy("\xE2\x82x\xF0\x9F\x98"), "\uFFFDx\uFFFD");
    EXPECT_EQ(decode_utf8_lossy("\xC0\xAF\xED\xA0\x80\xF4\x90"), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(Readers, CpuTimesFromTheAggregateLine) {
    const CpuTimes times = parse_cpu_times(
        " cpu 7 7 7 7 7 7 7 7\ncpu  10 5 20 300 4 3 2 1 99 99\r\ncpu0 9 9 9 9 9 9 9 9\nctxt 1000\nctxtx 5\n", 400);
    EXPECT_EQ((std::vector<std::uint64_t>{times.user, times.system, times.idle, times.iowait, times.irq, times.softirq,
                                          times.steal, times.total, times.ctxt_delta}),
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
    const MemoryUsage memory = parse_memory_usage(
        "MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 900 kB\nBuffers:\t20 kB\n"
        "SwapCached: 7 kB\nCached: 30 kB\nMemTotal 5 kB\n");
    EXPECT_EQ(memory.total_bytes, 1024000u);
    EXPECT_EQ(memory.used_bytes, 850u * 1024);
    EXPECT_EQ(parse_memory_usage("MemTotal: 10 kB\nMemFree: 11 kB\n").used_bytes, 0u);
    const PageFaultDeltas faults =
        parse_page_faults("pgfault 500\npgfault_x 1\npgmajfault 70\npgmajfaultx 2\n", 100, 80);
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
}

// A host's timers and handlers may interrupt every system call of the
// thread that runs the tool; the run goes on to its end.
TEST(ChildProcess, RunsToItsEndThroughSignals) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART
    const pthread_t runner = pthread_self();
    std::atomic<bool> done = false;
    std::thread storm([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(200))) pthread_kill(runner, SIGUSR1);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    EXPECT_EQ(run_to_completion("/bin/sh", {"sh", "-c", "sleep 0.3; echo out"}, deadline, 100), "out\n");
    done = true;
    storm.join();
}

}  // namespace
}  // namespace hostprobe
