#include "byte_counters.hpp"

#include <cstddef>
#include <optional>

#include "text.hpp"

namespace hostprobe {

namespace {

// /proc/diskstats: major, minor, name, reads, merges, sectors read, read
// time, writes, merges, sectors written, and at least four more fields.
constexpr std::size_t diskstats_min_tokens = 14;
constexpr std::size_t disk_name_token = 2;
constexpr std::size_t sectors_read_token = 5;
constexpr std::size_t sectors_written_token = 9;

// /proc/net/dev: "name:" then eight receive and eight transmit fields.
constexpr std::size_t net_dev_min_tokens = 17;
constexpr std::size_t net_dev_header_lines = 2;
constexpr std::size_t interface_name_token = 0;
constexpr std::size_t bytes_received_token = 1;
constexpr std::size_t bytes_transmitted_token = 9;

// The kernel counts sectors of 512 bytes whatever the device's own size.
constexpr unsigned sector_shift = 9;

std::optional<std::uint64_t> count(std::string_view token) { return parse_unsigned<std::uint64_t>(token, 10); }

std::string_view without_trailing_colons(std::string_view name) {
    while (!name.empty() && name.back() == ':') name.remove_suffix(1);
    return name;
}

}  // namespace

ByteCounterMap parse_disk_counters(std::string_view diskstats_text) {
    ByteCounterMap counters;
    for (std::string_view line : split_lines(diskstats_text)) {
        const auto tokens = leading_tokens<sectors_written_token + 1>(line, diskstats_min_tokens);
        if (tokens.count < diskstats_min_tokens) continue;
        const auto sectors_read = count(tokens.token[sectors_read_token]);
        const auto sectors_written = count(tokens.token[sectors_written_token]);
        if (!sectors_read || !sectors_written) continue;
        // The shifts wrap modulo 2^64.
        counters.insert_or_assign(std::string(tokens.token[disk_name_token]),
                                  std::pair{*sectors_read << sector_shift, *sectors_written << sector_shift});
    }
    return counters;
}

ByteCounterMap read_disk_counters() { return parse_file("/proc/diskstats", parse_disk_counters); }

ByteCounterMap parse_net_counters(std::string_view net_dev_text) {
    ByteCounterMap counters;
    std::size_t line_number = 0;
    for (std::string_view line : split_lines(net_dev_text)) {
        if (line_number++ < net_dev_header_lines) continue;
        const auto tokens = leading_tokens<bytes_transmitted_token + 1>(line, net_dev_min_tokens);
        if (tokens.count < net_dev_min_tokens) continue;
        const auto received = count(tokens.token[bytes_received_token]);
        const auto transmitted = count(tokens.token[bytes_transmitted_token]);
        if (!received || !transmitted) continue;
        counters.insert_or_assign(std::string(without_trailing_colons(tokens.token[interface_name_token])),
                                  std::pair{*received, *transmitted});
    }
    return counters;
}

ByteCounterMap read_net_counters() { return parse_file("/proc/net/dev", parse_net_counters); }

}  // namespace hostprobe
