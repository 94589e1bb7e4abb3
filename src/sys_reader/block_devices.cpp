#include "block_devices.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "file_descriptor.hpp"

namespace hostprobe {

bool is_hardware_whole_disk(std::string_view link_target) {
    if (link_target.find("/devices/virtual/") != std::string_view::npos) return false;
    const std::size_t name_start = link_target.rfind('/');
    if (name_start == std::string_view::npos) return false;
    const std::string_view parent = link_target.substr(0, name_start);
    return parent == "block" || parent.ends_with("/block");
}

std::optional<std::vector<std::string>> read_hardware_whole_disks(const ByteCounterMap& disks) {
    const FileDescriptor directory(open("/sys/class/block", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) return std::nullopt;
    std::vector<std::string> whole_disks;
    char target[4096];
    for (const auto& entry : disks) {
        // A name with a slash ("cciss/c0d0") has a '!' in its place in sysfs.
        std::string sysfs_name = entry.first;
        if (sysfs_name.find('\0') != std::string::npos) continue;
        std::replace(sysfs_name.begin(), sysfs_name.end(), '/', '!');
        const ssize_t length = readlinkat(directory.get(), sysfs_name.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) continue;
        if (is_hardware_whole_disk(std::string_view(target, static_cast<std::size_t>(length))))
            whole_disks.push_back(entry.first);
    }
    return whole_disks;
}

}  // namespace hostprobe
