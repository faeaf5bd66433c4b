// Events, thread handles, waits on several objects, per-thread message queues with posted and sent
// messages, and the message-aware wait; a monotonic clock.
#ifndef ZUVST_PLATFORM_SYNC_H
#define ZUVST_PLATFORM_SYNC_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace zuvst::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitIoCompletion = 0xC0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kMaxWaitObjects = 64;

// Classes of queued input that end a message-aware wait.
constexpr uint32_t kQsPostMessage = 0x8;
constexpr uint32_t kQsSendMessage = 0x40;
constexpr uint32_t kQsAllPostMessage = 0x100;
constexpr uint32_t kQsAllInput = 0x4FF;
// Flags of the message-aware wait.
constexpr uint32_t kWaitAll = 0x1;
constexpr uint32_t kWaitAlertable = 0x2;
constexpr uint32_t kWaitInputAvailable = 0x4;

constexpr uint32_t kMsgQuit = 0x0012;

// Something a thread can wait for: signalled or not; an auto-reset object is consumed by the wait it ends.
class WaitObject {
public:
    virtual ~WaitObject() = default;
    bool IsSignalled() const;

protected:
    explicit WaitObject(bool manualReset, bool signalled) : m_manualReset(manualReset), m_signalled(signalled) {}
    void SetSignalled(bool value);

private:
    friend struct WaitEngine;
    const bool m_manualReset;
    bool m_signalled; // guarded by the wait engine's lock
};

class Event final : public WaitObject {
public:
    Event(bool manualReset, bool initiallySet) : WaitObject(manualReset, initiallySet) {}
    void Set() { SetSignalled(true); }
    void Reset() { SetSignalled(false); }
};

// A thread whose handle is signalled once the thread has ended.
class Thread final : public WaitObject {
public:
    // Starts body on a new thread; null when the thread cannot be made.
    static std::shared_ptr<Thread> Start(std::function<void()> body);
    ~Thread() override;
    uint32_t Id() const { return m_id; }
    uintptr_t Token() const { return m_token; }
    // The exit code the thread set for itself (0 unless it set one).
    uint32_t ExitCode() const { return m_exitCode.load(); }
    // Sets the exit code of the calling thread, when it is one of ours.
    static void SetCurrentExitCode(uint32_t code);

private:
    Thread() : WaitObject(true, false) {}
    uint32_t m_id = 0;
    uintptr_t m_token = 0;
    std::atomic<uint32_t> m_exitCode {0};
    bool m_joinable = false;
};

// Waits for one (or, with waitAll, every) object; returns kWaitObject0 + index, kWaitTimeout or kWaitFailed.
uint32_t WaitForObjects(WaitObject* const* objects, uint32_t count, bool waitAll, uint32_t timeoutMs);
uint32_t WaitForObject(WaitObject* object, uint32_t timeoutMs);

// Message-aware wait: also ends (with kWaitObject0 + count) when input of the wake mask is queued for the
// calling thread. Sent messages are not delivered by the wait itself; the caller peeks for them.
uint32_t MsgWaitForObjects(WaitObject* const* objects, uint32_t count, uint32_t timeoutMs, uint32_t wakeMask,
                           uint32_t flags);

struct Message {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

uint32_t CurrentThreadId();
// Gives the calling thread its message queue (a thread has none until it asks for one or reads).
void EnsureMessageQueue();
// Makes posts and sends to the calling thread's queue also call wake (from the posting thread, briefly):
// for a thread that waits in a poll over descriptors rather than in the waits here.
void SetMessageQueueWake(std::function<void()> wake);
// Drops the calling thread's queue; senders waiting on it get their call refused.
void DestroyMessageQueue();
bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Runs call on the thread's own stack while it reads its queue or waits message-aware, and waits for it;
// while waiting, the caller serves calls sent to itself. False when the thread has no queue.
bool SendThreadMessage(uint32_t threadId, const std::function<void()>& call, uint32_t timeoutMs = kInfinite);
// Delivers the calling thread's pending sent messages; returns how many ran.
int DeliverSentMessages();
// Sent messages are delivered first; then a posted message is returned (removed when remove is set).
bool PeekMessage(Message* message, bool remove);
// Blocks for a posted message, delivering sent ones meanwhile; false for the quit message.
bool GetMessage(Message* message);

// CLOCK_MONOTONIC readings.
uint64_t MonotonicMillis();
uint64_t MonotonicMicros();

// A recursive lock.
class RecursiveLock {
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

} // namespace zuvst::platform

#endif
