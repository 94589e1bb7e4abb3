// Every parser on every input, under the sanitizers, with the invariants
// their callers rely on; the number parsers also against the C library.
#include <locale.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys_reader/byte_counters.hpp"
#include "sys_reader/cpu_temperature.hpp"
#include "sys_reader/cpu_times.hpp"
#include "sys_reader/firmware.hpp"
#include "sys_reader/load_average.hpp"
#include "sys_reader/memory.hpp"
#include "sys_reader/text.hpp"
#include "sys_reader/uptime.hpp"
#include "sys_reader/utf8.hpp"

namespace {

using namespace hostprobe;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

template <class Float>
bool same_bits(Float a, Float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A token the kernel grammar accepts converts as the C library converts it
// in the "C" locale; decimal integers that the library finds out of range
// are refused.
void compare_numbers(const std::string& token) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    if (const auto f64 = parse_f64(token)) check(same_bits(*f64, strtod_l(token.c_str(), nullptr, c_locale)), "f64");
    if (const auto f32 = parse_f32(token)) check(same_bits(*f32, strtof_l(token.c_str(), nullptr, c_locale)), "f32");
    const bool digits = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long decimal = std::strtoull(token.c_str(), nullptr, 10);
    const auto u64 = parse_unsigned<std::uint64_t>(token, 10);
    if (digits) check(errno == ERANGE ? !u64 : u64 == decimal, "u64 against strtoull");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The readers only ever see valid UTF-8: files are refused otherwise,
    // and the firmware tool's output is decoded with replacement.
    const std::string text = decode_utf8_lossy(bytes);
    check(is_valid_utf8(text), "decoded text is valid");
    check(is_valid_utf8(bytes) == (text == bytes), "valid input decodes to itself");

    for (std::string_view line : split_lines(text)) {
        check(line.find('\n') == std::string_view::npos, "line holds no line feed");
        std::size_t token_bytes = 0;
        for (std::string_view token : split_tokens(line)) {
            check(!token.empty() && token.data() + token.size() <= line.data() + line.size(), "token in the line");
            for (std::size_t i = 0; i < token.size(); ++i) check(whitespace_length_at(token, i) == 0, "no white space");
            token_bytes += token.size();
            compare_numbers(std::string(token));
        }
        std::size_t white_bytes = 0;  // stepping over a character's later bytes finds no white space
        for (std::size_t i = 0; i < line.size(); ++i) white_bytes += whitespace_length_at(line, i);
        check(token_bytes + white_bytes == line.size(), "tokens and white space make the line");
    }
    const CpuTimes cpu = parse_cpu_times(text, 0);
    check(cpu.total == cpu.user + cpu.system + cpu.idle + cpu.iowait + cpu.irq + cpu.softirq + cpu.steal, "cpu total");
    check(parse_cpu_times(text, UINT64_MAX).ctxt_delta == 0, "ctxt saturates");
    const MemoryUsage memory = parse_memory_usage(text);
    check(memory.total_bytes % 1024 == 0 && memory.used_bytes % 1024 == 0, "memory in KiB");
    const PageFaultDeltas faults = parse_page_faults(text, UINT64_MAX, UINT64_MAX);
    check(faults.faults_delta == 0 && faults.major_faults_delta == 0, "faults saturate");
    for (const auto& [name, counts] : parse_disk_counters(text)) {
        check(!name.empty() && counts.first % 512 == 0 && counts.second % 512 == 0, "disk sectors");
    }
    for (const auto& [name, counts] : parse_net_counters(text)) check(!name.ends_with(':'), "interface name");
    parse_load_average(text);
    parse_uptime(text);
    parse_zone_temperature(text);
    parse_throttle_status(text);
    parse_arm_clock(text);
    return 0;
}
