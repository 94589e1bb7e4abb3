// The sampler task: start readings of the byte counters, then one sampling
// pass per tick, each snapshot published on the channel.
#pragma once

#include <cstdint>

#include "broadcast_channel.hpp"
#include "snapshot.hpp"
#include "task_runtime.hpp"

namespace hostprobe {

inline constexpr std::size_t snapshot_channel_capacity = 8;

using SnapshotSender = BroadcastSender<MetricsSnapshot>;
using SnapshotReceiver = BroadcastReceiver<MetricsSnapshot>;

struct SamplerState {
    explicit SamplerState(Period sampling_period, SnapshotSender snapshot_sender)
        : period(sampling_period), sender(std::move(snapshot_sender)) {}

    Period period;
    SnapshotSender sender;
    // Each reader measures its counts beyond these; they hold the increases
    // of the pass before, 0 for the first pass.
    std::uint64_t reference_ctxt = 0;
    std::uint64_t reference_faults = 0;
    std::uint64_t reference_major_faults = 0;
    ByteCounterMap previous_disk;
    ByteCounterMap previous_net;
};

// Starts the sampler on the runtime's workers and returns the receiving end
// of its channel, without waiting.
SnapshotReceiver start_sampler(TaskRuntime& runtime, Period period);

// One sampling pass: every reader once, in a fixed order.
MetricsSnapshot take_sample(SamplerState& state);

}  // namespace hostprobe
