#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sys_reader/cpu_temperature.hpp"
#include "temporary_directory.hpp"

namespace hostprobe {
namespace {

namespace fs = std::filesystem;

TEST(ZoneTemperature, FromTempText) {
    struct Row {
        std::string text;
        std::optional<float> expected;
    };
    const std::vector<Row> rows = {
        {"45000\n", 45.0f},
        {"-5000\n", -5.0f},
        {"0\n", 0.0f},
        {" 40000 \r\n", 40.0f},
        {"45.5\n", 45.5f / 1000.0f},  // a single-precision quotient
        {"\n", std::nullopt},
        {"", std::nullopt},
        {"45 000\n", std::nullopt},
        {"hot\n", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parse_zone_temperature(row.text), row.expected);
    }
}

// A file with `content`, a directory (no content, no target) or a symbolic
// link to `target`, at `path` below the thermal directory.
struct Entry {
    std::string path;
    std::optional<std::string> content;
    std::string target;
};

Entry file(std::string path, std::string content) { return {std::move(path), std::move(content), {}}; }
Entry directory(std::string path) { return {std::move(path), std::nullopt, {}}; }
Entry symlink(std::string path, std::string target) { return {std::move(path), std::nullopt, std::move(target)}; }

class ThermalDirectory : public ::testing::Test {
protected:
    // Lays out `entries` in a fresh thermal directory and returns its path.
    std::string make_thermal_dir(const std::vector<Entry>& entries) {
        const fs::path dir = root_ / std::to_string(dirs_made_++) / "thermal";
        fs::create_directories(dir);
        for (const Entry& entry : entries) {
            const fs::path path = dir / entry.path;
            fs::create_directories(path.parent_path());
            if (entry.content) {
                std::ofstream(path, std::ios::binary) << *entry.content;
            } else if (!entry.target.empty()) {
                fs::create_directory_symlink(entry.target, path);
            } else {
                fs::create_directories(path);
            }
        }
        return dir.string();
    }

    TemporaryDirectory temporary_;
    const fs::path root_ = temporary_.path();
    int dirs_made_ = 0;
};

TEST_F(ThermalDirectory, FirstUsableZoneInByteOrderOfNames) {
    struct Row {
        const char* label;
        std::vector<Entry> entries;
        float expected;
    };
    std::vector<Entry> twelve_zones;
    for (int zone = 0; zone < 12; ++zone) {
        const std::string name = "thermal_zone" + std::to_string(zone);
        if (zone == 2) {
            twelve_zones.push_back(file(name + "/temp", "20000\n"));
        } else if (zone == 10) {
            twelve_zones.push_back(file(name + "/temp", "30000\n"));
        } else {
            twelve_zones.push_back(file(name + "/type", "cpu-thermal\n"));
        }
    }
    const std::vector<Row> rows = {
        {"the first of two zones",
         {file("thermal_zone0/temp", "45000\n"), file("thermal_zone1/temp", "50000\n")}, 45.0f},
        {"thermal_zone10 sorts before thermal_zone2", twelve_zones, 30.0f},
        {"a zone linked the way sysfs links them",
         {file("devices/thermal_zone0/temp", "41000\n"), symlink("thermal_zone0", "devices/thermal_zone0")},
         41.0f},
        {"a negative reading", {file("thermal_zone0/temp", "-5000\n")}, -5.0f},
        {"a zero reading ends the search",
         {file("thermal_zone0/temp", "0\n"), file("thermal_zone1/temp", "50000\n")}, 0.0f},
        {"a temp that is a directory is passed over",
         {directory("thermal_zone0/temp"), file("thermal_zone1/temp", "40000\n")}, 40.0f},
        {"a temp that is not UTF-8 is passed over",
         {file("thermal_zone0/temp", "\xff\n"), file("thermal_zone1/temp", "40000\n")}, 40.0f},
        {"a temp with only a line feed is passed over",
         {file("thermal_zone0/temp", "\n"), file("thermal_zone1/temp", "40000\n")}, 40.0f},
        {"a zone entry that is a plain file is passed over",
         {file("thermal_zone0", "45000\n"), file("thermal_zone1/temp", "40000\n")}, 40.0f},
        {"the bare prefix matches and sorts first",
         {file("thermal_zone/temp", "10000\n"), file("thermal_zone0/temp", "45000\n")}, 10.0f},
        {"other names and other letter case are not zones",
         {file("cooling_device0/temp", "1000\n"), file("Thermal_zone0/temp", "2000\n"),
          file("xthermal_zone0/temp", "3000\n")},
         0.0f},
        {"no zones", {}, 0.0f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(read_cpu_temperature_in(make_thermal_dir(row.entries).c_str()), row.expected);
    }
}

TEST_F(ThermalDirectory, NoThermalDirectoryGivesZero) {
    EXPECT_EQ(read_cpu_temperature_in((root_ / "missing").c_str()), 0.0f);
    const std::string not_a_directory = make_thermal_dir({file("thermal_zone0", "")}) + "/thermal_zone0";
    EXPECT_EQ(read_cpu_temperature_in(not_a_directory.c_str()), 0.0f);
}

}  // namespace
}  // namespace hostprobe
