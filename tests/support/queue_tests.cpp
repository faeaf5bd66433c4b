#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"
#include "zuvst/support.h"

using namespace zuvst::platform;

namespace {

struct Item {
    tZUQELM links {};
    int value = 0;
};

struct QueueTest : ::testing::Test {
    tZUQHEAD head {};
    Item items[5];
    void SetUp() override
    {
        ASSERT_TRUE(ZuQueueInitialize(&head));
        for (int i = 0; i < 5; ++i) items[i].value = i;
    }
    void TearDown() override { ZuQueueDelete(&head); }
    bool EventSet() const { return static_cast<WaitObject*>(head.event) && WaitForObject(EventObject(), 0) == 0; }
    WaitObject* EventObject() const { return reinterpret_cast<WaitObject*>(head.event); }
    int Pop(uint32_t limit = 0)
    {
        tZUQELM* e = ZuQueueRemove(&head, limit);
        return e ? reinterpret_cast<Item*>(e)->value : -1;
    }
};

BOOL MatchValue(tZUQELM* e, void* context) { return reinterpret_cast<Item*>(e)->value == *static_cast<int*>(context); }

} // namespace

TEST_F(QueueTest, OrderAndTheEventInvariant)
{
    EXPECT_EQ(Pop(), -1); // limit 0 on an empty queue: at once
    EXPECT_FALSE(EventSet());
    ZuQueueInsert(&head, &items[0].links);
    EXPECT_TRUE(EventSet());
    ZuQueueInsertHead(&head, &items[1].links);
    ZuQueueInsert(&head, &items[2].links);
    EXPECT_EQ(Pop(), 1);
    EXPECT_TRUE(EventSet());
    EXPECT_EQ(reinterpret_cast<Item*>(ZuQueueRemoveTail(&head, 0))->value, 2);
    EXPECT_EQ(Pop(), 0);
    EXPECT_FALSE(EventSet()); // reset by the removal that emptied the queue
    EXPECT_EQ(items[0].links.next, nullptr);
    EXPECT_EQ(items[0].links.prev, nullptr);
    EXPECT_FALSE(IsInZuQueue(&head, &items[0].links));
}

TEST_F(QueueTest, FindMoveAndInsert)
{
    for (int i = 0; i < 4; ++i) ZuQueueInsert(&head, &items[i].links);
    EXPECT_FALSE(ZuQueueMoveToTail(&head, &items[3].links)); // already last
    EXPECT_TRUE(ZuQueueMoveToHead(&head, &items[2].links));  // 2 0 1 3
    int two = 2, nine = 9, one = 1;
    EXPECT_EQ(ZuQueueFindAndMoveToTail(&head, MatchValue, &two), &items[2].links); // 0 1 3 2
    EXPECT_EQ(ZuQueueFindAndMoveToHead(&head, MatchValue, &nine), nullptr);
    ZuQueueFindAndInsert(&head, MatchValue, &one, &items[4].links);                // 0 4 1 3 2
    EXPECT_TRUE(IsInZuQueue(&head, &items[4].links));
    EXPECT_EQ(ZuQueueFindAndRemoveRev(&head, MatchValue, &two), &items[2].links); // 0 4 1 3
    EXPECT_EQ(ZuQueueFindAndRemove(&head, MatchValue, &nine), nullptr);
    std::vector<int> order;
    for (int v; (v = Pop()) >= 0;) order.push_back(v);
    EXPECT_EQ(order, (std::vector<int> {0, 4, 1, 3}));
    ZuQueueFindAndInsertRev(&head, MatchValue, &nine, &items[1].links); // no match: at the tail
    ZuQueueFindAndInsert(&head, MatchValue, &nine, nullptr);           // nothing
    EXPECT_EQ(Pop(), 1);
    EXPECT_FALSE(ZuQueueMoveToHead(&head, &items[1].links)); // not queued
}

TEST_F(QueueTest, WaitsEndOnInsertExtraHandleAndTimeout)
{
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ZuQueueInsert(&head, &items[3].links);
    });
    EXPECT_EQ(Pop(kInfinite), 3);
    producer.join();

    Event extra(true, false);
    ZUHANDLE handles[] = {&extra};
    uint32_t result = 77;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        extra.Set();
    });
    EXPECT_EQ(ZuQueueRemoveEx(&head, handles, 1, 0, 5000, &result), nullptr);
    EXPECT_EQ(result, 1u);
    setter.join();

    const uint64_t t0 = MonotonicMillis();
    EXPECT_EQ(ZuQueueRemoveEx(&head, nullptr, 0, ZUQ_WAIT_SERVE_SENT, 60, &result), nullptr);
    EXPECT_EQ(result, kWaitTimeout);
    EXPECT_GE(MonotonicMillis() - t0, 55u);

    ZUHANDLE many[63] = {};
    result = 5;
    EXPECT_EQ(ZuQueueRemoveEx(&head, many, 63, 0, kInfinite, &result), nullptr);
    EXPECT_EQ(result, 5u); // refused before any wait
    EXPECT_FALSE(ZuQueueWait(&head, 0));
}

TEST_F(QueueTest, AWaiterServesSentMessagesAndKeepsWaiting)
{
    std::atomic<uint32_t> waiter {0};
    std::atomic<int> served {0};
    int got = -1;
    std::thread t([&] {
        EnsureMessageQueue();
        waiter = CurrentThreadId();
        tZUQELM* e = ZuQueueRemoveEx(&head, nullptr, 0, ZUQ_WAIT_SERVE_SENT, 5000, nullptr);
        got = e ? reinterpret_cast<Item*>(e)->value : -1;
    });
    while (!waiter) std::this_thread::yield();
    uint32_t ranOn = 0;
    ASSERT_TRUE(SendThreadMessage(waiter, [&] {
        ranOn = CurrentThreadId();
        ++served;
    }));
    EXPECT_EQ(ranOn, waiter.load()); // delivered on the waiting thread, during its wait
    ZuQueueInsert(&head, &items[2].links);
    t.join();
    EXPECT_EQ(got, 2);
    EXPECT_EQ(served, 1);
}

TEST_F(QueueTest, DeleteWakesAnInfiniteWaiter)
{
    std::atomic<bool> waiting {false};
    tZUQELM* got = reinterpret_cast<tZUQELM*>(1);
    std::thread t([&] {
        waiting = true;
        got = ZuQueueRemove(&head, kInfinite);
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ZuQueueDelete(&head);
    t.join();
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(head.event, nullptr);
    ASSERT_TRUE(ZuQueueInitialize(&head)); // for TearDown
}

TEST_F(QueueTest, FlushWakesRemoversWithNothing)
{
    ZuQueueInsert(&head, &items[0].links);
    ZuQueueFlush(&head);
    EXPECT_TRUE(EventSet()); // left set while empty
    EXPECT_EQ(Pop(100), -1);
}

TEST_F(QueueTest, ManyProducersAndConsumers)
{
    constexpr int kPerProducer = 2000;
    std::vector<Item> pool(4 * kPerProducer);
    std::atomic<int> taken {0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 4; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) ZuQueueInsert(&head, &pool[size_t(p * kPerProducer + i)].links);
        });
    for (int c = 0; c < 3; ++c)
        threads.emplace_back([&] {
            while (taken.load() < 4 * kPerProducer)
                if (ZuQueueRemove(&head, 10)) ++taken;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(taken.load(), 4 * kPerProducer);
    EXPECT_FALSE(EventSet());
}
