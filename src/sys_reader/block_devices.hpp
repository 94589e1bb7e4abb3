// Which block devices are whole disks of real hardware, as sysfs places
// them: every entry of /sys/class/block links to the device's place in the
// kernel's device tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_counters.hpp"

namespace hostprobe {

// From the target of a /sys/class/block link: a disk sits directly under a
// "block" directory ("../../devices/pci0000:00/.../block/sda"), a partition
// under its disk (".../block/sda/sda1"), and a device of no hardware (loop,
// ram, zram, device-mapper, md) under "devices/virtual".
bool is_hardware_whole_disk(std::string_view link_target);

// The devices of `disks` that are whole hardware disks; nothing when
// /sys/class/block cannot be opened.
std::optional<std::vector<std::string>> read_hardware_whole_disks(const ByteCounterMap& disks);

}  // namespace hostprobe
