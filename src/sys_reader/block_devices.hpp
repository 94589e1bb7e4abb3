// Which block devices are whole disks of real hardware, as sysfs places
// them: every entry of /sys/class/block links to the device's place in the
// kernel's device tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "byte_counters.hpp"

namespace hostprobe {

// From the target of a /sys/class/block link: a disk sits directly under a
// "block" directory ("../../devices/pci0000:00/.../block/sda"), a partition
// under its disk (".../block/sda/sda1"), and a device of no hardware (loop,
// ram, zram, device-mapper, md) under "devices/virtual".
bool is_hardware_whole_disk(std::string_view link_target);

// Device name to whether it is a whole hardware disk. A name keeps its kind
// while it exists (a partition's name is its disk's with a number, a loop
// device stays a loop device), so answers are kept from one reading to the
// next and only new names are looked up.
using WholeDiskAnswers = std::unordered_map<std::string, bool>;

// The devices of `disks` that are whole hardware disks; nothing when a new
// name must be looked up and /sys/class/block cannot be opened. `answers`
// is left holding the answers for the names of `disks`.
std::optional<std::vector<std::string>> read_hardware_whole_disks(const ByteCounterMap& disks,
                                                                  WholeDiskAnswers& answers);

}  // namespace hostprobe
