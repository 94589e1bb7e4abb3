// A bounded channel from one sending end to one receiving end. Sending never
// waits: a message that finds every slot holding one not yet received is
// dropped, so a receiver that comes late still gets the oldest messages, in
// order. Destroying the sending end closes the channel.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace hostprobe {

namespace channel_detail {

template <class T>
struct Shared {
    explicit Shared(std::size_t capacity) : slots(capacity) {}

    std::mutex mutex;
    std::condition_variable message_or_close;
    std::vector<std::optional<T>> slots;
    std::size_t oldest = 0;
    std::size_t held = 0;
    bool sender_alive = true;
};

}  // namespace channel_detail

template <class T>
class ChannelSender {
public:
    explicit ChannelSender(std::shared_ptr<channel_detail::Shared<T>> shared) : shared_(std::move(shared)) {}
    ChannelSender(ChannelSender&&) noexcept = default;
    ChannelSender& operator=(ChannelSender&&) = delete;
    ChannelSender(const ChannelSender&) = delete;

    ~ChannelSender() {
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
            const std::size_t capacity = shared_->slots.size();
            if (shared_->held == capacity) return;
            shared_->slots[(shared_->oldest + shared_->held) % capacity] = message;
            ++shared_->held;
        }
        shared_->message_or_close.notify_all();
    }

private:
    std::shared_ptr<channel_detail::Shared<T>> shared_;
};

template <class T>
class ChannelReceiver {
public:
    explicit ChannelReceiver(std::shared_ptr<channel_detail::Shared<T>> shared) : shared_(std::move(shared)) {}
    ChannelReceiver(ChannelReceiver&&) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&&) = delete;
    ChannelReceiver(const ChannelReceiver&) = delete;

    // The oldest message not yet received, waiting while there is none;
    // nothing once the sender is gone and every message has been received.
    std::optional<T> receive() {
        std::unique_lock lock(shared_->mutex);
        shared_->message_or_close.wait(lock, [&] { return shared_->held > 0 || !shared_->sender_alive; });
        if (shared_->held == 0) return std::nullopt;
        std::optional<T> message = std::move(shared_->slots[shared_->oldest]);
        shared_->oldest = (shared_->oldest + 1) % shared_->slots.size();
        --shared_->held;
        return message;
    }

private:
    std::shared_ptr<channel_detail::Shared<T>> shared_;
};

template <class T>
struct Channel {
    ChannelSender<T> sender;
    ChannelReceiver<T> receiver;
};

// `capacity` must be at least 1.
template <class T>
Channel<T> make_channel(std::size_t capacity) {
    auto shared = std::make_shared<channel_detail::Shared<T>>(capacity);
    return {ChannelSender<T>(shared), ChannelReceiver<T>(shared)};
}

}  // namespace hostprobe
