#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "sys_reader/block_devices.hpp"
#include "sys_reader/byte_counters.hpp"
#include "sys_reader/child_process.hpp"
#include "sys_reader/cpu_temperature.hpp"
#include "sys_reader/cpu_times.hpp"
#include "sys_reader/firmware.hpp"
#include "sys_reader/kernel_width.hpp"
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
    EXPECT_EQ(collect(split_lines("a\r\nb\r\r\n\nc\n")), (Strings{"a", "b\r", "", "c"}));
    // Every Unicode White_Space character separates tokens, U+200B and U+FEFF
    // do not; the long runs are read eight bytes at a time.
    EXPECT_EQ(collect(split_tokens(" a\tb\u00a0c\u0085d\u1680e\u2000f\u200ag\u2028h\u202fi\u205fj\u3000k\v\f"
                                   "x\u200by\ufeffz\u00a1          123456789012345678\x7f\x01~\u00a0\u00a0\u00a0\u00a0"
                                   "ab\u2003cdefghij    ")),
              (Strings{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "x\u200by\ufeffz\u00a1",
                       "123456789012345678\x7f\x01~", "ab", "cdefghij"}));
    EXPECT_EQ(collect(split_on_char("2/1203/", '/')), (Strings{"2", "1203", ""}));
    EXPECT_EQ(trim_text("\u3000 12 3\u00a0\n"), "12 3");
}

TEST(Text, ParsesNumbers) {
    EXPECT_EQ(parse_unsigned<std::uint64_t>("+007", 10), 7u);
    for (auto t : {"", "+", "-1", "1 ", "0x1", "1e3", "a"})
        EXPECT_EQ(parse_unsigned<std::uint64_t>(t, 10), std::nullopt) << t;
    EXPECT_EQ(parse_unsigned<std::uint32_t>("ffffFFFF", 16), 0xFFFFFFFFu);
    EXPECT_EQ(parse_unsigned<std::uint32_t>("000000050005", 16), 0x50005u);
    for (auto t : {"100000000", "fg", "", "-5", "0x5"})
        EXPECT_EQ(parse_unsigned<std::uint32_t>(t, 16), std::nullopt) << t;
    // The kernel's decimal grammar, converted as the C library converts it.
    for (auto t : {"0.52", "1e-50", "-INFINITY", "4.9e-324", "+7E+2"}) {
        EXPECT_EQ(parse_f64(t), strtod(t, nullptr)) << t;
        EXPECT_EQ(parse_f32(t), strtof(t, nullptr)) << t;
    }
    EXPECT_TRUE(std::isnan(parse_f64("nAn").value_or(0)) && std::isnan(parse_f32("NaN").value_or(0)));
    for (auto t : {"", ".", "1e", "0x1p3", "1,5", "1.2.3", "in", "nan(1)", " 1", "1f"})
        EXPECT_EQ(parse_f64(t), std::nullopt) << t;
}

TEST(Utf8, ValidatesAndReplacesMaximalIllFormedParts) {
    EXPECT_TRUE(is_valid_utf8("\x7F \xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(is_valid_utf8(std::string("eight by\0tes", 12)));
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5",
                            "ascii ascii \x80", "\xE2\x82", "\xE2\x82 x"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
    // What Python's bytes.decode("utf-8", "replace") gives.
    EXPECT_EQ(decode_utf8_lossy("a\xF0\x9F\x98\x80\xE2\x82x\xC0\xAF\xED\xA0\x80\xF4\x90\xF0\x9F\x98"),
              "a\xF0\x9F\x98\x80\uFFFDx\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

// Whole records, their fields in declaration order.
using Times = std::array<std::uint64_t, 9>;
using Loads = std::array<float, 4>;  // running first
using Counts = std::array<std::uint64_t, 2>;

TEST(Readers, KernelTexts) {
    EXPECT_EQ(
        std::bit_cast<Times>(parse_cpu_times(
            " cpu 7 7 7 7 7 7 7 7\ncpu  10 5 20 300 4 3 2 1 99 99\r\ncpu0 9 9 9 9 9 9 9 9\nctxt 1000\nctxtx 5\n", 400)),
        (Times{15, 20, 300, 4, 3, 2, 1, 345, 600}));
    // Before 2.6.11 there was no steal column; fewer than seven columns is
    // no aggregate line. The sums wrap; counts below their reference are 0.
    EXPECT_EQ(std::bit_cast<Times>(parse_cpu_times("cpu 18446744073709551615 2 0 0 0 0 1\n", 400)),
              (Times{1, 0, 0, 0, 0, 1, 0, 2, 0}));
    EXPECT_EQ(std::bit_cast<Times>(parse_cpu_times("cpu 1 1 1 1 1 1\n", 400)), Times{});
    EXPECT_EQ(std::bit_cast<Loads>(parse_load_average("0.52 x\t0.59\u00a0inf/1203 12345\n")),
              (Loads{INFINITY, 0.52f, 0, 0.59f}));
    EXPECT_EQ(std::bit_cast<Loads>(parse_load_average("0.52 0.58 0.59 2/1203\n")), Loads{});
    EXPECT_EQ(std::pair(parse_uptime("\n12345.67 54321.00\n"), parse_uptime("x 54321.00\n")), std::pair(12345.67, 0.0));
    EXPECT_EQ(std::bit_cast<Counts>(
                  parse_memory_usage("MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 900 kB\nBuffers:\t20 kB\n"
                                     "Cached: 30 kB\nSwapCached: 7 kB\nMemTotal 5 kB\n")),
              (Counts{1000 * 1024, 850 * 1024}));
    EXPECT_EQ(parse_memory_usage("MemTotal: 10 kB\nMemFree: 11 kB\n").used_bytes, 0u);
    EXPECT_EQ(parse_page_faults("pgfault 5\n", 9, 0).faults_delta, 0u);
    EXPECT_EQ(
        std::bit_cast<Counts>(parse_page_faults("pgfault 500\npgfault_x 1\npgmajfault 70\npgmajfaultx 200\n", 100, 80)),
        (Counts{400, 0}));
    const ByteCounterMap disks = parse_disk_counters(
        "   8       0 sda 10 0 1000 0 20 0 3 0 0 0 0\n"
        "   8       1 sda1 10 0 36028797018963968 0 20 0 3 0 0 0 0 0 0 0 0\n"
        "   8       2 sda2 10 0 1000 0 20 0 x 0 0 0 0\n"
        "   8       3 short 10 0 1000 0 20 0 3 0 0 0\n");
    EXPECT_EQ(disks, (ByteCounterMap{{"sda", {512000, 1536}}, {"sda1", {0, 1536}}}));
    const ByteCounterMap interfaces = parse_net_counters(
        "eth0: 1 1 0 0 0 0 0 0 2 1 0 0 0 0 0 0\n"
        "lo: 3 1 0 0 0 0 0 0 4 1 0 0 0 0 0 0\n"
        "  eth1:: 500 1 0 0 0 0 0 0 600 1 0 0 0 0 0 0\n"
        "wlan0: 5 1 0 0 0 0 0 0 6 1 0 0 0 0 0\n"
        "wlan1: 5 1 0 0 0 0 0 0 - 1 0 0 0 0 0 0\n");
    EXPECT_EQ(interfaces, (ByteCounterMap{{"eth1", {500, 600}}}));
}

// What the counters read natively: every column, line and count the kernel
// wrote, and nothing for what it did not write or what does not parse.
TEST(Readers, NativeCounters) {
    using Ticks = std::array<std::optional<std::uint64_t>, cpu_mode_count>;
    const StatCounters stat = parse_stat_counters(
        "cpu  10 5 20 300 4 3 2 1 99 99\ncpu0 1 2 3 4 5 6 7\ncpu3 1 2 x 4 5 6 7 8\ncpu+4 1 2 3 4 5 6 7 8\n"
        "cpux 1 2 3 4 5 6 7 8\ncpu5 1\nintr 5 6\nctxt 12\n");
    EXPECT_EQ(stat.all_cpus->mode, (Ticks{10, 5, 20, 300, 4, 3, 2, 1}));
    ASSERT_EQ(stat.per_cpu.size(), 2u);
    EXPECT_EQ(std::pair(stat.per_cpu[0].first, stat.per_cpu[0].second.mode),
              std::pair(0u, Ticks{1, 2, 3, 4, 5, 6, 7, std::nullopt}));
    EXPECT_EQ(std::pair(stat.per_cpu[1].first, stat.per_cpu[1].second.mode),
              std::pair(3u, Ticks{1, 2, std::nullopt, 4, 5, 6, 7, 8}));
    EXPECT_EQ(stat.context_switches, 12u);
    const StatCounters empty = parse_stat_counters("ctxt x\n");
    EXPECT_TRUE(!empty.all_cpus && empty.per_cpu.empty() && !empty.context_switches);
    const VmstatCounters vmstat = parse_vmstat_counters("pgfault 400\npgmajfault_x 1\nx pgmajfault 7\npgfault 500");
    EXPECT_EQ(std::pair(vmstat.page_faults, vmstat.major_page_faults),
              std::pair(std::optional<std::uint64_t>(500), std::optional<std::uint64_t>()));
    for (auto [target, whole] :
         {std::pair{"../../devices/pci0000:00/0000:00:05.0/virtio2/block/vda", true},
          {"../../devices/platform/emmc2bus/fe340000.mmc/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0", true},
          {"../../devices/pci0000:00/0000:00:05.0/virtio2/block/vda/vda1", false},
          {"../../devices/virtual/block/loop0", false},
          {"../../devices/virtual/block/dm-0", false},
          {"block", false}})
        EXPECT_EQ(is_hardware_whole_disk(target), whole) << target;
    for (auto [machine, bits] : {std::pair{"x86_64", 64u},
                                 {"aarch64", 64u},
                                 {"ppc64le", 64u},
                                 {"s390x", 64u},
                                 {"armv7l", 32u},
                                 {"armv6l", 32u},
                                 {"i686", 32u},
                                 {"armv8l", 32u}})
        EXPECT_EQ(kernel_bits_of_machine(machine), bits) << machine;
}

TEST(Readers, FirmwareAnswersAndZoneTemperatures) {
    EXPECT_EQ((std::vector<std::uint64_t>{
                  parse_throttle_status("throttled=0x80050005\n"), parse_throttle_status("throttled=0x5 0x6"),
                  parse_throttle_status("throttled=5"), parse_arm_clock("frequency(48)=1500000000\n"),
                  parse_arm_clock("frequency(48)=1=2")}),
              (std::vector<std::uint64_t>{0x80050005, 0, 0, 1500000000, 0}));
    EXPECT_EQ(std::pair(parse_zone_temperature(" 45500\n"), parse_zone_temperature("-5000")),
              std::pair(std::optional(45.5f), std::optional(-5.0f)));
}

// A host's timers and handlers may interrupt every system call of the
// thread that runs the tool; the run goes on to its end.
TEST(ChildProcess, RunsToItsEndThroughSignals) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);  // no SA_RESTART
    const itimerval every_200us{{0, 200}, {0, 200}}, off{};
    setitimer(ITIMER_REAL, &every_200us, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    EXPECT_EQ(run_to_completion("/bin/sh", {"sh", "-c", "sleep 0.3; echo out"}, deadline, 100), "out\n");
    setitimer(ITIMER_REAL, &off, nullptr);
}

}  // namespace
}  // namespace hostprobe
