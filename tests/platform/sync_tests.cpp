#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"

using namespace zuvst::platform;

TEST(Sync, EventsAndWaits)
{
    Event manual(true, false), automatic(false, false);
    WaitObject* both[] = {&manual, &automatic};
    EXPECT_EQ(WaitForObjects(both, 2, false, 0), kWaitTimeout);
    automatic.Set();
    EXPECT_EQ(WaitForObjects(both, 2, false, 0), 1u);
    EXPECT_EQ(WaitForObjects(both, 2, false, 0), kWaitTimeout); // auto-reset: consumed
    manual.Set();
    EXPECT_EQ(WaitForObject(&manual, 0), 0u);
    EXPECT_EQ(WaitForObject(&manual, 0), 0u); // manual: stays set
    EXPECT_EQ(WaitForObjects(both, 2, true, 10), kWaitTimeout);
    automatic.Set();
    EXPECT_EQ(WaitForObjects(both, 2, true, 0), 0u);
    EXPECT_EQ(WaitForObjects(both, 0, false, 0), kWaitFailed);
    const uint64_t t0 = MonotonicMillis();
    EXPECT_EQ(WaitForObject(&automatic, 50), kWaitTimeout);
    EXPECT_GE(MonotonicMillis() - t0, 45u);
}

TEST(Sync, ThreadHandleIsSignalledAtItsEnd)
{
    std::atomic<bool> go {false};
    auto t = Thread::Start([&] {
        while (!go) std::this_thread::yield();
    });
    ASSERT_TRUE(t);
    EXPECT_NE(t->Id(), 0u);
    EXPECT_EQ(WaitForObject(t.get(), 0), kWaitTimeout);
    go = true;
    EXPECT_EQ(WaitForObject(t.get(), 5000), 0u);
}

TEST(Sync, PostedAndSentMessages)
{
    std::atomic<uint32_t> id {0};
    std::vector<uint32_t> got;
    int sentCalls = 0;
    auto t = Thread::Start([&] {
        EnsureMessageQueue();
        id = CurrentThreadId();
        Message m;
        while (GetMessage(&m)) got.push_back(m.message);
    });
    while (!id) std::this_thread::yield();
    EXPECT_TRUE(PostThreadMessage(id, 0x400, 1, 2));
    EXPECT_TRUE(SendThreadMessage(id, [&] { ++sentCalls; }));
    EXPECT_TRUE(PostThreadMessage(id, 0x401, 0, 0));
    EXPECT_TRUE(PostThreadMessage(id, kMsgQuit, 0, 0));
    EXPECT_EQ(WaitForObject(t.get(), 5000), 0u);
    EXPECT_EQ(got, (std::vector<uint32_t> {0x400, 0x401}));
    EXPECT_EQ(sentCalls, 1);
    // The thread and its queue are gone: posts and sends are refused.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(PostThreadMessage(id, 0x400, 0, 0));
    EXPECT_FALSE(SendThreadMessage(id, [] {}, 100));
    EXPECT_FALSE(PostThreadMessage(0x7FFFFFF0, 0x400, 0, 0));
}

TEST(Sync, SentMessagesWaitForAMessageAwareWait)
{
    std::atomic<uint32_t> id {0};
    std::atomic<bool> inside {false};
    std::atomic<int> calls {0};
    Event stop(true, false);
    auto t = Thread::Start([&] {
        EnsureMessageQueue();
        id = CurrentThreadId();
        // A plain wait delivers nothing.
        Event never(true, false);
        WaitForObject(&never, 50);
        inside = true;
        WaitObject* objs[] = {&stop};
        for (;;) {
            const uint32_t r = MsgWaitForObjects(objs, 1, 5000, kQsSendMessage, 0);
            if (r == 1) {
                DeliverSentMessages();
                continue;
            }
            break;
        }
    });
    while (!id) std::this_thread::yield();
    const uint64_t t0 = MonotonicMillis();
    EXPECT_TRUE(SendThreadMessage(id, [&] { ++calls; }));
    EXPECT_TRUE(inside.load()); // it ran only once the thread was in the message-aware wait
    EXPECT_GE(MonotonicMillis() - t0, 40u);
    EXPECT_EQ(calls, 1);
    stop.Set();
    EXPECT_EQ(WaitForObject(t.get(), 5000), 0u);
}

TEST(Sync, TwoThreadsSendingToEachOtherGoOn)
{
    std::atomic<uint32_t> idA {0}, idB {0};
    std::atomic<int> done {0};
    auto body = [&](std::atomic<uint32_t>& self, std::atomic<uint32_t>& other) {
        EnsureMessageQueue();
        self = CurrentThreadId();
        while (!other) std::this_thread::yield();
        EXPECT_TRUE(SendThreadMessage(other, [&] { ++done; }, 5000));
        // Stay to serve the other's call.
        const uint64_t end = MonotonicMillis() + 200;
        while (MonotonicMillis() < end) PeekMessage(nullptr, false);
    };
    auto a = Thread::Start([&] { body(idA, idB); });
    auto b = Thread::Start([&] { body(idB, idA); });
    WaitObject* both[] = {a.get(), b.get()};
    EXPECT_EQ(WaitForObjects(both, 2, true, 5000), 0u);
    EXPECT_EQ(done, 2);
}
