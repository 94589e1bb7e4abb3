// Differences of counters that never go below zero.
#pragma once

#include <cstdint>

namespace hostprobe {

// `minuend - subtrahend`, or 0 where that would be negative.
constexpr std::uint64_t saturating_sub(std::uint64_t minuend, std::uint64_t subtrahend) {
    return minuend >= subtrahend ? minuend - subtrahend : 0;
}

}  // namespace hostprobe
