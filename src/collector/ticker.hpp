// Periodic ticks on a grid fixed when the ticker is made: tick k is due at
// the start plus k periods. Ticks that fell due while nobody asked are all
// delivered, one after another, without shifting the grid.
#pragma once

#include <chrono>

#include "snapshot.hpp"

namespace hostprobe {

using SteadyTime = std::chrono::steady_clock::time_point;

struct Ticker {
    SteadyTime next_due;
    std::chrono::steady_clock::duration period;
};

// The first tick is due at `now`. Throws std::invalid_argument for a zero
// period.
Ticker make_ticker(Period period, SteadyTime now);

// Takes the tick that is due and moves to the next one on the grid; where
// that cannot be represented on the clock, it is set 30 years after `now`.
void take_tick(Ticker& ticker, SteadyTime now);

}  // namespace hostprobe
