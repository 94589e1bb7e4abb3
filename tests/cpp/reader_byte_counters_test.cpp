#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sys_reader/byte_counters.hpp"

namespace hostprobe {
namespace {

struct CountersRow {
    const char* label;
    std::string text;
    ByteCounterMap expected;
};

TEST(DiskCounters, FromDiskstatsText) {
    const std::vector<CountersRow> rows = {
        {"sectors times 512", "   8       0 sda 100 0 2048 0 50 0 4096 0 0 0 0\n", {{"sda", {1048576, 2097152}}}},
        {"13 tokens are too few", "8 0 sda 100 0 2048 0 50 0 4096 0 0 0\n", {}},
        {"newer kernels add columns",
         "8 0 sda 1 0 1 0 1 0 1 0 0 0 0 0 0 0 0\n259 0 nvme0n1 1 0 2 0 1 0 3 0 0 0 0 0 0 0 0 0 0\n",
         {{"sda", {512, 512}}, {"nvme0n1", {1024, 1536}}}},
        {"a disk and its partition",
         "8 0 sda 1 0 4 0 1 0 2 0 0 0 0\n8 1 sda1 1 0 1 0 1 0 1 0 0 0 0\n",
         {{"sda", {2048, 1024}}, {"sda1", {512, 512}}}},
        {"the later line of a name wins",
         "8 0 sda 1 0 4 0 1 0 2 0 0 0 0\n8 0 sda 1 0 6 0 1 0 8 0 0 0 0\n", {{"sda", {3072, 4096}}}},
        {"an unparsable count alone is 0", "8 0 sda 1 0 x 0 1 0 2 0 0 0 0\n", {{"sda", {0, 1024}}}},
        {"a negative count is unparsable", "8 0 sda 1 0 -4 0 1 0 2 0 0 0 0\n", {{"sda", {0, 1024}}}},
        {"the shift wraps",
         "8 0 sda 1 0 36028797018963968 0 1 0 18446744073709551615 0 0 0 0\n",
         {{"sda", {0, 18446744073709551104u}}}},
        {"CR LF endings", "8 0 sda 100 0 2048 0 50 0 4096 0 0 0 0\r\n", {{"sda", {1048576, 2097152}}}},
        {"empty text", "", {}},
    };
    for (const CountersRow& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(parse_disk_counters(row.text), row.expected);
    }
}

constexpr const char* net_dev_header =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n";

TEST(NetCounters, FromNetDevText) {
    const std::string header = net_dev_header;
    const std::vector<CountersRow> rows = {
        {"received from the 2nd token, transmitted from the 10th",
         header + "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n", {{"eth0", {1000, 2000}}}},
        {"loopback is kept",
         header + "    lo: 5 1 0 0 0 0 0 0 5 1 0 0 0 0 0 0\n  eth0: 7 1 0 0 0 0 0 0 9 1 0 0 0 0 0 0\n",
         {{"lo", {5, 5}}, {"eth0", {7, 9}}}},
        {"all trailing colons go, inner ones stay",
         header + "wlan0:: 1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\na:b: 3 0 0 0 0 0 0 0 4 0 0 0 0 0 0 0\n",
         {{"wlan0", {1, 2}}, {"a:b", {3, 4}}}},
        {"a name joined to its first number is too few tokens",
         header + "  eth0:1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n", {}},
        {"the first two lines are dropped whatever they hold",
         "a: 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0 0\nb: 2 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\n"
         "c: 3 0 0 0 0 0 0 0 3 0 0 0 0 0 0 0\n",
         {{"c", {3, 3}}}},
        {"only the header", header, {}},
        {"fewer lines than the header", "Inter-|\n", {}},
        {"the later line of a name wins",
         header + "eth0: 1 0 0 0 0 0 0 0 1 0 0 0 0 0 0 0\neth0: 2 0 0 0 0 0 0 0 3 0 0 0 0 0 0 0\n",
         {{"eth0", {2, 3}}}},
        {"an unparsable count alone is 0", header + "eth0: x 0 0 0 0 0 0 0 9 0 0 0 0 0 0 0\n",
         {{"eth0", {0, 9}}}},
        {"CR LF endings",
         "Inter-|\r\n face |\r\n  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\r\n", {{"eth0", {1000, 2000}}}},
    };
    for (const CountersRow& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(parse_net_counters(row.text), row.expected);
    }
}

}  // namespace
}  // namespace hostprobe
