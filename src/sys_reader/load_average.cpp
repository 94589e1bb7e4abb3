#include "load_average.hpp"

#include "text.hpp"

namespace hostprobe {

LoadAverage parse_load_average(std::string_view loadavg_text) {
    // "0.52 0.58 0.59 2/1203 12345": three loads, runnable/total entities,
    // the last process ID created.
    const auto tokens = leading_tokens<4>(loadavg_text, 5);
    if (tokens.count <= 4) return {};
    const auto as_float = [](std::string_view token) { return parse_f32(token).value_or(0.0f); };
    LoadAverage load;
    load.running = as_float(*split_on_char(tokens.token[3], '/').begin());
    load.load_1 = as_float(tokens.token[0]);
    load.load_5 = as_float(tokens.token[1]);
    load.load_15 = as_float(tokens.token[2]);
    return load;
}

LoadAverage read_load_average() { return parse_file("/proc/loadavg", parse_load_average); }

}  // namespace hostprobe
