#include "platform/sync.h"

#include "platform/fault_guard.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zuvst::platform {

namespace {

struct SentCall {
    const std::function<void()>* call;
    bool running = false;
    bool done = false;
    bool refused = false;
};

struct MessageQueue {
    std::deque<Message> posted;
    std::deque<SentCall*> sent;
    std::function<void()> wake; // tells a thread that polls descriptors instead of waiting here
};

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(uint32_t timeoutMs)
{
    return timeoutMs == kInfinite ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

// One lock and one condition for every waitable object and message queue of the process: waits on
// several objects and on message queues then need no registration with each object.
struct WaitEngine {
    std::mutex lock;
    std::condition_variable changed;
    std::unordered_map<uint32_t, std::shared_ptr<MessageQueue>> queues;

    static WaitEngine& Get()
    {
        static WaitEngine* engine = new WaitEngine; // never destroyed: threads may outlive static teardown
        return *engine;
    }

    // Under lock: true when the wait is satisfied; consumes auto-reset objects.
    static bool TrySatisfy(WaitObject* const* objects, uint32_t count, bool waitAll, uint32_t* index)
    {
        if (waitAll) {
            for (uint32_t i = 0; i < count; ++i)
                if (!objects[i]->m_signalled) return false;
            for (uint32_t i = 0; i < count; ++i)
                if (!objects[i]->m_manualReset) objects[i]->m_signalled = false;
            *index = 0;
            return count > 0;
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (!objects[i]->m_signalled) continue;
            if (!objects[i]->m_manualReset) objects[i]->m_signalled = false;
            *index = i;
            return true;
        }
        return false;
    }

    template <class Ready>
    bool WaitUntil(std::unique_lock<std::mutex>& held, Clock::time_point deadline, Ready&& ready)
    {
        while (!ready()) {
            if (deadline == Clock::time_point::max())
                changed.wait(held);
            else if (changed.wait_until(held, deadline) == std::cv_status::timeout)
                return ready();
        }
        return true;
    }
};

namespace {

MessageQueue* QueueOf(uint32_t threadId)
{
    auto& e = WaitEngine::Get();
    auto it = e.queues.find(threadId);
    return it == e.queues.end() ? nullptr : it->second.get();
}

struct QueueOwner {
    bool owns = false;
    ~QueueOwner()
    {
        if (owns) DestroyMessageQueue();
    }
};
thread_local QueueOwner tl_queueOwner;

// Under lock: the calling thread's queue, made on first use.
MessageQueue* OwnQueue()
{
    auto& e = WaitEngine::Get();
    const uint32_t id = CurrentThreadId();
    auto& slot = e.queues[id];
    if (!slot) {
        slot = std::make_shared<MessageQueue>();
        tl_queueOwner.owns = true;
    }
    return slot.get();
}

// Under lock (released while the call runs): runs the sent calls pending for the calling thread.
int DeliverSentLocked(std::unique_lock<std::mutex>& held)
{
    int delivered = 0;
    for (;;) {
        MessageQueue* q = QueueOf(CurrentThreadId());
        if (!q || q->sent.empty()) return delivered;
        SentCall* call = q->sent.front();
        q->sent.pop_front();
        call->running = true;
        held.unlock();
        (*call->call)();
        held.lock();
        call->done = true;
        ++delivered;
        WaitEngine::Get().changed.notify_all();
    }
}

} // namespace

bool WaitObject::IsSignalled() const
{
    std::lock_guard<std::mutex> g(WaitEngine::Get().lock);
    return m_signalled;
}

void WaitObject::SetSignalled(bool value)
{
    auto& e = WaitEngine::Get();
    std::lock_guard<std::mutex> g(e.lock);
    m_signalled = value;
    if (value) e.changed.notify_all();
}

namespace {
thread_local Thread* tl_currentThread = nullptr;
}

void Thread::SetCurrentExitCode(uint32_t code)
{
    if (tl_currentThread) tl_currentThread->m_exitCode.store(code);
}

std::shared_ptr<Thread> Thread::Start(std::function<void()> body)
{
    std::shared_ptr<Thread> self(new (std::nothrow) Thread);
    if (!self) return nullptr;
    std::promise<void> started;
    auto ready = started.get_future();
    try {
        std::thread t([self, body = std::move(body), &started]() mutable {
            // A new thread starts with the default floating-point state, not its creator's (the
            // creator may have switched on flush-to-zero for itself alone).
            FpuReset();
            self->m_id = CurrentThreadId();
            tl_currentThread = self.get();
            self->m_token = static_cast<uintptr_t>(::pthread_self());
            started.set_value();
            body();
            self->SetSignalled(true);
        });
        t.detach();
    } catch (...) {
        return nullptr;
    }
    ready.wait();
    return self;
}

Thread::~Thread() = default;

uint32_t WaitForObjects(WaitObject* const* objects, uint32_t count, bool waitAll, uint32_t timeoutMs)
{
    if (count == 0 || count > kMaxWaitObjects || !objects) return kWaitFailed;
    auto& e = WaitEngine::Get();
    std::unique_lock<std::mutex> held(e.lock);
    uint32_t index = 0;
    if (e.WaitUntil(held, Deadline(timeoutMs), [&] { return WaitEngine::TrySatisfy(objects, count, waitAll, &index); }))
        return kWaitObject0 + index;
    return kWaitTimeout;
}

uint32_t WaitForObject(WaitObject* object, uint32_t timeoutMs) { return WaitForObjects(&object, 1, false, timeoutMs); }

uint32_t MsgWaitForObjects(WaitObject* const* objects, uint32_t count, uint32_t timeoutMs, uint32_t wakeMask,
                           uint32_t flags)
{
    if (count > kMaxWaitObjects - 1 || (count && !objects)) return kWaitFailed;
    auto& e = WaitEngine::Get();
    std::unique_lock<std::mutex> held(e.lock);
    MessageQueue* q = OwnQueue();
    const bool waitAll = flags & kWaitAll;
    uint32_t result = kWaitTimeout;
    const auto ready = [&] {
        const bool input = ((wakeMask & kQsSendMessage) && !q->sent.empty()) ||
                           ((wakeMask & (kQsPostMessage | kQsAllPostMessage)) && !q->posted.empty());
        uint32_t index = 0;
        if (waitAll) {
            if (count && input && WaitEngine::TrySatisfy(objects, count, true, &index)) {
                result = kWaitObject0;
                return true;
            }
            if (!count && input) {
                result = kWaitObject0;
                return true;
            }
            return false;
        }
        if (count && WaitEngine::TrySatisfy(objects, count, false, &index)) {
            result = kWaitObject0 + index;
            return true;
        }
        if (input) {
            result = kWaitObject0 + count;
            return true;
        }
        return false;
    };
    if (!e.WaitUntil(held, Deadline(timeoutMs), ready)) return kWaitTimeout;
    return result;
}

uint32_t CurrentThreadId()
{
    static thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

void EnsureMessageQueue()
{
    std::lock_guard<std::mutex> g(WaitEngine::Get().lock);
    OwnQueue();
}

void SetMessageQueueWake(std::function<void()> wake)
{
    std::lock_guard<std::mutex> g(WaitEngine::Get().lock);
    OwnQueue()->wake = std::move(wake);
}

void DestroyMessageQueue()
{
    auto& e = WaitEngine::Get();
    std::lock_guard<std::mutex> g(e.lock);
    auto it = e.queues.find(CurrentThreadId());
    if (it == e.queues.end()) return;
    for (SentCall* call : it->second->sent) {
        call->refused = true;
        call->done = true;
    }
    e.queues.erase(it);
    tl_queueOwner.owns = false;
    e.changed.notify_all();
}

bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    auto& e = WaitEngine::Get();
    std::lock_guard<std::mutex> g(e.lock);
    MessageQueue* q = QueueOf(threadId);
    if (!q) return false;
    q->posted.push_back(Message {message, wParam, lParam});
    e.changed.notify_all();
    if (q->wake) q->wake();
    return true;
}

bool SendThreadMessage(uint32_t threadId, const std::function<void()>& call, uint32_t timeoutMs)
{
    if (threadId == CurrentThreadId()) {
        call();
        return true;
    }
    auto& e = WaitEngine::Get();
    std::unique_lock<std::mutex> held(e.lock);
    MessageQueue* q = QueueOf(threadId);
    if (!q) return false;
    SentCall sent {&call};
    q->sent.push_back(&sent);
    e.changed.notify_all();
    if (q->wake) q->wake();
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        // Serve calls sent to this thread meanwhile, so that two threads sending to each other go on.
        DeliverSentLocked(held);
        if (sent.done) return !sent.refused;
        if (Clock::now() >= deadline && !sent.running) {
            if (MessageQueue* target = QueueOf(threadId))
                for (auto it = target->sent.begin(); it != target->sent.end(); ++it)
                    if (*it == &sent) {
                        target->sent.erase(it);
                        break;
                    }
            return false;
        }
        MessageQueue* own = QueueOf(CurrentThreadId());
        const auto wake = [&] { return sent.done || (own && !own->sent.empty()); };
        if (deadline == Clock::time_point::max() || sent.running)
            e.changed.wait(held, wake);
        else
            e.changed.wait_until(held, deadline, wake);
    }
}

int DeliverSentMessages()
{
    std::unique_lock<std::mutex> held(WaitEngine::Get().lock);
    return DeliverSentLocked(held);
}

bool PeekMessage(Message* message, bool remove)
{
    std::unique_lock<std::mutex> held(WaitEngine::Get().lock);
    OwnQueue();
    DeliverSentLocked(held);
    MessageQueue* q = QueueOf(CurrentThreadId());
    if (!q || q->posted.empty()) return false;
    if (message) *message = q->posted.front();
    if (remove) q->posted.pop_front();
    return true;
}

bool GetMessage(Message* message)
{
    auto& e = WaitEngine::Get();
    std::unique_lock<std::mutex> held(e.lock);
    OwnQueue();
    for (;;) {
        DeliverSentLocked(held);
        MessageQueue* q = QueueOf(CurrentThreadId());
        if (!q->posted.empty()) {
            *message = q->posted.front();
            q->posted.pop_front();
            return message->message != kMsgQuit;
        }
        e.changed.wait(held, [&] { return !q->posted.empty() || !q->sent.empty(); });
    }
}

uint64_t MonotonicMillis() { return MonotonicMicros() / 1000; }

uint64_t MonotonicMicros()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace zuvst::platform
