// Zero values until each reader is built.
#include "byte_counters.hpp"
#include "cpu_temperature.hpp"
#include "firmware.hpp"

namespace hostprobe {

float read_cpu_temperature() { return 0.0f; }
std::uint32_t read_throttle_status() { return 0; }
std::uint64_t read_arm_clock() { return 0; }
ByteCounterMap read_disk_counters() { return {}; }
ByteCounterMap read_net_counters() { return {}; }

}  // namespace hostprobe
