#include <gtest/gtest.h>

#include <thread>
#include <variant>

#include "collector/broadcast_channel.hpp"

namespace hostprobe {
namespace {

using Received = BroadcastReceiver<int>::Received;

int value_of(const Received& received) {
    EXPECT_TRUE(std::holds_alternative<int>(received));
    return std::holds_alternative<int>(received) ? std::get<int>(received) : -1;
}

TEST(BroadcastChannel, DeliversInOrderThenReportsClosed) {
    auto channel = make_broadcast_channel<int>(8);
    {
        BroadcastSender<int> sender = std::move(channel.sender);
        EXPECT_TRUE(sender.send(1));
        EXPECT_TRUE(sender.send(2));
    }
    EXPECT_EQ(value_of(channel.receiver.receive()), 1);
    EXPECT_EQ(value_of(channel.receiver.receive()), 2);
    EXPECT_TRUE(std::holds_alternative<ChannelClosed>(channel.receiver.receive()));
}

TEST(BroadcastChannel, OverwritesTheOldestAndReportsTheLoss) {
    auto channel = make_broadcast_channel<int>(8);
    for (int i = 0; i < 11; ++i) ASSERT_TRUE(channel.sender.send(i));
    const Received first = channel.receiver.receive();
    ASSERT_TRUE(std::holds_alternative<ChannelLagged>(first));
    EXPECT_EQ(std::get<ChannelLagged>(first).lost_messages, 3u);
    for (int expected = 3; expected < 11; ++expected) EXPECT_EQ(value_of(channel.receiver.receive()), expected);
}

TEST(BroadcastChannel, EveryReceiverSeesEveryLaterMessage) {
    auto channel = make_broadcast_channel<int>(8);
    ASSERT_TRUE(channel.sender.send(1));
    BroadcastReceiver<int> late = channel.sender.subscribe();
    ASSERT_TRUE(channel.sender.send(2));
    ASSERT_TRUE(channel.sender.send(3));
    EXPECT_EQ(value_of(channel.receiver.receive()), 1);
    EXPECT_EQ(value_of(channel.receiver.receive()), 2);
    EXPECT_EQ(value_of(channel.receiver.receive()), 3);
    EXPECT_EQ(value_of(late.receive()), 2);
    EXPECT_EQ(value_of(late.receive()), 3);
}

TEST(BroadcastChannel, SendingWithoutReceiversFails) {
    auto channel = make_broadcast_channel<int>(8);
    { BroadcastReceiver<int> gone = std::move(channel.receiver); }
    EXPECT_FALSE(channel.sender.send(1));
}

TEST(BroadcastChannel, ReceiveWaitsForASenderOnAnotherThread) {
    auto channel = make_broadcast_channel<int>(8);
    std::thread sender_thread([sender = std::move(channel.sender)]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sender.send(42);
    });
    EXPECT_EQ(value_of(channel.receiver.receive()), 42);
    EXPECT_TRUE(std::holds_alternative<ChannelClosed>(channel.receiver.receive()));
    sender_thread.join();
}

TEST(BroadcastChannel, ManyMessagesAcrossThreadsArriveInOrderOrAsLag) {
    auto channel = make_broadcast_channel<int>(8);
    constexpr int count = 20000;
    std::thread sender_thread([sender = std::move(channel.sender)]() mutable {
        for (int i = 0; i < count; ++i) sender.send(i);
    });
    int next = 0;
    for (;;) {
        const Received received = channel.receiver.receive();
        if (std::holds_alternative<ChannelClosed>(received)) break;
        if (auto* lag = std::get_if<ChannelLagged>(&received)) {
            next += static_cast<int>(lag->lost_messages);
            continue;
        }
        ASSERT_EQ(std::get<int>(received), next);
        ++next;
    }
    EXPECT_EQ(next, count);
    sender_thread.join();
}

}  // namespace
}  // namespace hostprobe
