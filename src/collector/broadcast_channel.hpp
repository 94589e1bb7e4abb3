// A bounded one-to-many channel: sending never waits and overwrites the
// oldest message when the ring is full; each receiver keeps its own position
// and learns of lost messages and of the sender's end as values.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

namespace hostprobe {

struct ChannelClosed {};
struct ChannelLagged {
    std::uint64_t lost_messages;
};

template <class T>
class BroadcastReceiver;

namespace channel_detail {

template <class T>
struct Shared {
    explicit Shared(std::size_t capacity) : slots(capacity) {}

    std::mutex mutex;
    std::condition_variable message_or_close;
    std::vector<std::optional<T>> slots;
    std::uint64_t sent_count = 0;
    bool sender_alive = true;
};

}  // namespace channel_detail

template <class T>
class BroadcastSender {
public:
    explicit BroadcastSender(std::shared_ptr<channel_detail::Shared<T>> shared) : shared_(std::move(shared)) {}
    BroadcastSender(BroadcastSender&&) noexcept = default;
    BroadcastSender& operator=(BroadcastSender&&) = delete;
    BroadcastSender(const BroadcastSender&) = delete;

    ~BroadcastSender() {
        if (!shared_) return;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->sender_alive = false;
        }
        shared_->message_or_close.notify_all();
    }

    void send(const T& message) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->slots[shared_->sent_count % shared_->slots.size()] = message;
            ++shared_->sent_count;
        }
        shared_->message_or_close.notify_all();
    }

private:
    std::shared_ptr<channel_detail::Shared<T>> shared_;
};

template <class T>
class BroadcastReceiver {
public:
    using Received = std::variant<T, ChannelLagged, ChannelClosed>;

    BroadcastReceiver(std::shared_ptr<channel_detail::Shared<T>> shared, std::uint64_t next_position)
        : shared_(std::move(shared)), next_position_(next_position) {}
    BroadcastReceiver(BroadcastReceiver&&) noexcept = default;
    BroadcastReceiver& operator=(BroadcastReceiver&&) = delete;
    BroadcastReceiver(const BroadcastReceiver&) = delete;

    // The next message this receiver has not seen, waiting while there is
    // none. A lag report moves the receiver to the oldest message kept.
    Received receive() {
        std::unique_lock lock(shared_->mutex);
        shared_->message_or_close.wait(lock,
                                       [&] { return next_position_ < shared_->sent_count || !shared_->sender_alive; });
        if (next_position_ == shared_->sent_count) return ChannelClosed{};
        const std::uint64_t capacity = shared_->slots.size();
        const std::uint64_t oldest_kept = shared_->sent_count > capacity ? shared_->sent_count - capacity : 0;
        if (next_position_ < oldest_kept) {
            const std::uint64_t lost = oldest_kept - next_position_;
            next_position_ = oldest_kept;
            return ChannelLagged{lost};
        }
        return *shared_->slots[next_position_++ % capacity];
    }

private:
    std::shared_ptr<channel_detail::Shared<T>> shared_;
    std::uint64_t next_position_;
};

template <class T>
struct BroadcastChannel {
    BroadcastSender<T> sender;
    BroadcastReceiver<T> receiver;
};

// `capacity` must be at least 1.
template <class T>
BroadcastChannel<T> make_broadcast_channel(std::size_t capacity) {
    auto shared = std::make_shared<channel_detail::Shared<T>>(capacity);
    return {BroadcastSender<T>(shared), BroadcastReceiver<T>(shared, 0)};
}

}  // namespace hostprobe
