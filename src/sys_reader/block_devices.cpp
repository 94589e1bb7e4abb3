#include "block_devices.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "file_descriptor.hpp"

namespace hostprobe {

bool is_hardware_whole_disk(std::string_view link_target) {
    if (link_target.find("/devices/virtual/") != std::string_view::npos) return false;
    const std::size_t name_start = link_target.rfind('/');
    if (name_start == std::string_view::npos) return false;
    const std::string_view parent = link_target.substr(0, name_start);
    return parent == "block" || parent.ends_with("/block");
}

namespace {

bool looks_up_as_whole_disk(int class_block_directory, const std::string& name) {
    // A name with a slash ("cciss/c0d0") has a '!' in its place in sysfs.
    std::string sysfs_name = name;
    if (sysfs_name.find('\0') != std::string::npos) return false;
    std::replace(sysfs_name.begin(), sysfs_name.end(), '/', '!');
    char target[4096];
    const ssize_t length = readlinkat(class_block_directory, sysfs_name.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) return false;
    return is_hardware_whole_disk(std::string_view(target, static_cast<std::size_t>(length)));
}

}  // namespace

std::optional<std::vector<std::string>> read_hardware_whole_disks(const ByteCounterMap& disks,
                                                                  WholeDiskAnswers& answers) {
    std::vector<std::string> whole_disks;
    // The usual case: the same devices as at the last reading.
    bool all_known = answers.size() == disks.size();
    for (auto entry = disks.begin(); all_known && entry != disks.end(); ++entry) {
        const auto known = answers.find(entry->first);
        all_known = known != answers.end();
        if (all_known && known->second) whole_disks.push_back(entry->first);
    }
    if (all_known) return whole_disks;

    whole_disks.clear();
    WholeDiskAnswers current;
    FileDescriptor directory;
    for (const auto& entry : disks) {
        const std::string& name = entry.first;
        bool whole;
        if (const auto known = answers.find(name); known != answers.end()) {
            whole = known->second;
        } else {
            if (!directory.valid()) {
                directory = FileDescriptor(open("/sys/class/block", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (!directory.valid()) {
                    answers.clear();
                    return std::nullopt;
                }
            }
            whole = looks_up_as_whole_disk(directory.get(), name);
        }
        current.emplace(name, whole);
        if (whole) whole_disks.push_back(name);
    }
    answers = std::move(current);
    return whole_disks;
}

}  // namespace hostprobe
