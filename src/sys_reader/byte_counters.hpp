// Cumulative byte counters per block device and per network interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace hostprobe {

// Name to (bytes read, bytes written) or (bytes received, bytes transmitted);
// a line whose numbers do not parse names nothing.
using ByteCounterMap = std::unordered_map<std::string, std::pair<std::uint64_t, std::uint64_t>>;

ByteCounterMap parse_disk_counters(std::string_view diskstats_text);
ByteCounterMap read_disk_counters();

ByteCounterMap parse_net_counters(std::string_view net_dev_text);
ByteCounterMap read_net_counters();

}  // namespace hostprobe
