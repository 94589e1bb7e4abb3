// parse_memory_usage against a model of /proc/meminfo's rules: lines picked
// by their whole first token, values in KiB, used = total - (free + buffers
// + cached) or 0.
#include "fuzz_support.hpp"
#include "sys_reader/memory.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    std::uint64_t total = 0, free = 0, buffers = 0, cached = 0;
    for (std::string_view line : fuzz::reference_lines(text)) {
        const std::vector<std::string_view> tokens = fuzz::reference_tokens(line);
        if (tokens.empty()) continue;
        std::uint64_t* target = tokens[0] == "MemTotal:" ? &total
                                : tokens[0] == "MemFree:" ? &free
                                : tokens[0] == "Buffers:" ? &buffers
                                : tokens[0] == "Cached:"  ? &cached
                                                          : nullptr;
        if (target != nullptr) *target = fuzz::reference_keyed_value(line);
    }
    const std::uint64_t held = free + buffers + cached;  // wraps
    const hostprobe::MemoryUsage usage = hostprobe::parse_memory_usage(text);
    fuzz::check(usage.total_bytes == total * 1024, "total_bytes");
    fuzz::check(usage.used_bytes == (total >= held ? (total - held) * 1024 : 0), "used_bytes");
    return 0;
}
