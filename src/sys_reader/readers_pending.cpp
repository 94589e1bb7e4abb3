// Zero values until each reader is built.
#include "byte_counters.hpp"
#include "cpu_temperature.hpp"
#include "cpu_times.hpp"
#include "firmware.hpp"
#include "load_average.hpp"
#include "memory.hpp"
#include "uptime.hpp"

namespace hostprobe {

CpuTimes read_cpu_times(std::uint64_t) { return {}; }
LoadAverage read_load_average() { return {}; }
float read_cpu_temperature() { return 0.0f; }
std::uint32_t read_throttle_status() { return 0; }
std::uint64_t read_arm_clock() { return 0; }
MemoryUsage read_memory_usage() { return {}; }
PageFaultDeltas read_page_faults(std::uint64_t, std::uint64_t) { return {}; }
double read_uptime() { return 0.0; }
ByteCounterMap read_disk_counters() { return {}; }
ByteCounterMap read_net_counters() { return {}; }

}  // namespace hostprobe
