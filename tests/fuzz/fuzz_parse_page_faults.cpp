// parse_page_faults against a model of /proc/vmstat's rules: the lines that
// begin "pgfault " and "pgmajfault ", later lines winning; checked at
// several references.
#include "fuzz_support.hpp"
#include "sys_reader/memory.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    std::uint64_t faults = 0, major = 0;
    for (std::string_view line : fuzz::reference_lines(text)) {
        if (line.substr(0, 8) == "pgfault ") faults = fuzz::reference_keyed_value(line);
        if (line.substr(0, 11) == "pgmajfault ") major = fuzz::reference_keyed_value(line);
    }
    const std::uint64_t references[][2] = {{0, 0}, {faults, major}, {faults / 2, major + 1}, {UINT64_MAX, 1}};
    for (const auto& reference : references) {
        const hostprobe::PageFaultDeltas deltas = hostprobe::parse_page_faults(text, reference[0], reference[1]);
        fuzz::check(deltas.faults_delta == fuzz::saturating_difference(faults, reference[0]), "faults_delta");
        fuzz::check(deltas.major_faults_delta == fuzz::saturating_difference(major, reference[1]),
                    "major_faults_delta");
    }
    return 0;
}
