// The sampler task: start readings of the byte counters, then one sampling
// pass per tick, each snapshot published on the channel.
#pragma once

#include <cstdint>

#include "channel.hpp"
#include "snapshot.hpp"
#include "task_runtime.hpp"

namespace hostprobe {

inline constexpr std::size_t snapshot_channel_capacity = 8;

using SnapshotSender = ChannelSender<MetricsSnapshot>;
using SnapshotReceiver = ChannelReceiver<MetricsSnapshot>;

// Starts the sampler on the runtime's workers and returns the receiving end
// of its channel, without waiting.
SnapshotReceiver start_sampler(TaskRuntime& runtime, Period period);

}  // namespace hostprobe
