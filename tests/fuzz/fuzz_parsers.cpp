// Every parser on every input, under the sanitizers; the text splitting and
// UTF-8 decoding with the invariants their callers rely on, the number
// parsers against the C library.
#include <locale.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "sys_reader/block_devices.hpp"
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
    if (token.empty() || token.find_first_not_of("0123456789") != std::string::npos) return;
    errno = 0;
    const unsigned long long decimal = std::strtoull(token.c_str(), nullptr, 10);
    const auto u64 = parse_unsigned<std::uint64_t>(token, 10);
    check(errno == ERANGE ? !u64 : u64 == decimal, "u64 against strtoull");
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
        // White space held in a token or a character lost between tokens
        // would change the sum; no white space starts within a character.
        std::size_t bytes_seen = 0;
        for (std::string_view token : split_tokens(line)) {
            check(!token.empty() && token.data() + token.size() <= line.data() + line.size(), "token in the line");
            bytes_seen += token.size();
            compare_numbers(std::string(token));
        }
        for (std::size_t i = 0; i < line.size(); ++i) bytes_seen += whitespace_length_at(line, i);
        check(bytes_seen == line.size(), "tokens and white space make the line");
    }
    // The readers' parsers, for the sanitizers to watch.
    [[maybe_unused]] const auto parsed =
        std::tuple(parse_cpu_times(text, 0), parse_stat_counters(text), parse_vmstat_counters(text),
                   parse_memory_usage(text), parse_page_faults(text, 0, 0), parse_disk_counters(text),
                   parse_net_counters(text), parse_load_average(text), parse_uptime(text), parse_zone_temperature(text),
                   parse_throttle_status(text), parse_arm_clock(text), is_hardware_whole_disk(text));
    return 0;
}
