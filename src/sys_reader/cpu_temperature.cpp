#include "cpu_temperature.hpp"

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "text.hpp"

namespace hostprobe {

namespace {

constexpr std::string_view zone_prefix = "thermal_zone";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The names of `thermal_dir` that start with the zone prefix, in ascending
// byte order (thermal_zone10 before thermal_zone2). A directory that is
// missing or cannot be listed has none.
std::vector<std::string> zone_names(const char* thermal_dir) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, DirCloser> dir(opendir(thermal_dir));
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(zone_prefix)) names.emplace_back(name);
    }
    // std::string compares its chars as unsigned bytes.
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::optional<float> parse_zone_temperature(std::string_view temp_text) {
    const std::optional<float> millidegrees = parse_f32(trim_text(temp_text));
    if (!millidegrees) return std::nullopt;
    return *millidegrees / 1000.0f;
}

float read_cpu_temperature() {
    constexpr const char* thermal_dir = "/sys/class/thermal";
    std::string path;
    for (const std::string& name : zone_names(thermal_dir)) {
        // A zone entry that is no directory, or whose `temp` is one, fails
        // to read and is passed over like any unreadable zone.
        path.assign(thermal_dir).append("/").append(name).append("/temp");
        if (const std::optional<float> celsius = parse_file(path.c_str(), parse_zone_temperature)) return *celsius;
    }
    return 0.0f;
}

}  // namespace hostprobe
