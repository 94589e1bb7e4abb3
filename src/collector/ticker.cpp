#include "ticker.hpp"

#include <limits>
#include <stdexcept>

namespace hostprobe {

namespace {

using Duration = std::chrono::steady_clock::duration;
using Rep = Duration::rep;

constexpr Duration far_future_fallback = std::chrono::seconds(946080000);

// A period too long for the clock's range saturates at the longest duration;
// no time point can then be advanced by it.
Duration clock_duration(Period period) {
    static_assert(std::ratio_equal_v<Duration::period, std::nano>);
    constexpr Rep max_rep = std::numeric_limits<Rep>::max();
    if (period.seconds > static_cast<std::uint64_t>(max_rep / 1000000000)) return Duration::max();
    const Rep whole = static_cast<Rep>(period.seconds) * 1000000000;
    if (whole > max_rep - static_cast<Rep>(period.nanoseconds)) return Duration::max();
    return Duration(whole + static_cast<Rep>(period.nanoseconds));
}

bool checked_advance(SteadyTime from, Duration by, SteadyTime& result) {
    Rep sum;
    if (__builtin_add_overflow(from.time_since_epoch().count(), by.count(), &sum)) return false;
    result = SteadyTime(Duration(sum));
    return true;
}

}  // namespace

Ticker make_ticker(Period period, SteadyTime now) {
    if (period.seconds == 0 && period.nanoseconds == 0) {
        throw std::invalid_argument("`period` must be non-zero.");
    }
    return {now, clock_duration(period)};
}

void take_tick(Ticker& ticker, SteadyTime now) {
    if (!checked_advance(ticker.next_due, ticker.period, ticker.next_due)) {
        SteadyTime fallback;
        ticker.next_due = checked_advance(now, far_future_fallback, fallback) ? fallback : SteadyTime::max();
    }
}

}  // namespace hostprobe
