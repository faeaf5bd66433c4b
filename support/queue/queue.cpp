// The locked intrusive queue: a recursive lock around every link change, a manual-reset not-empty event,
// and a remover that can wait for it while serving calls sent to its thread.
#include <atomic>
#include <new>

#include "platform/sync.h"
#include "zuvst/support.h"

namespace {

using namespace zuvst::platform;

// The not-empty event; waiters hold a reference while they wait, so a deleted queue's event stays valid
// for the waits it ends.
struct QueueEvent {
    Event event {true, false};
    std::atomic<int> refs {1};
    void Release()
    {
        if (refs.fetch_sub(1) == 1) delete this;
    }
};

RecursiveLock* LockOf(tZUQHEAD* h) { return static_cast<RecursiveLock*>(h->lock); }
QueueEvent* EventOf(tZUQHEAD* h) { return static_cast<QueueEvent*>(__atomic_load_n(&h->event, __ATOMIC_ACQUIRE)); }

tZUQELM* AsElement(tZUQHEAD* h) { return static_cast<tZUQELM*>(h); }
bool IsEmpty(tZUQHEAD* h) { return h->next == AsElement(h); }

struct Locked {
    explicit Locked(tZUQHEAD* h) : lock(LockOf(h)) { lock->Lock(); }
    ~Locked() { lock->Unlock(); }
    RecursiveLock* lock;
};

void LinkBefore(tZUQHEAD* h, tZUQELM* before, tZUQELM* e)
{
    const bool wasEmpty = IsEmpty(h);
    e->next = before;
    e->prev = before->prev;
    before->prev->next = e;
    before->prev = e;
    if (wasEmpty)
        if (QueueEvent* ev = EventOf(h)) ev->event.Set();
}

void Unlink(tZUQHEAD* h, tZUQELM* e)
{
    e->prev->next = e->next;
    e->next->prev = e->prev;
    e->next = e->prev = nullptr;
    if (IsEmpty(h))
        if (QueueEvent* ev = EventOf(h)) ev->event.Reset();
}

// With the lock held: unlinks the first element and releases the lock; null, still locked, when empty.
tZUQELM* TakeFirstAndUnlock(tZUQHEAD* h)
{
    if (IsEmpty(h)) return nullptr;
    tZUQELM* e = h->next;
    Unlink(h, e);
    LockOf(h)->Unlock();
    return e;
}

tZUQELM* Find(tZUQHEAD* h, ZUQMATCHPROC match, void* context, bool reverse)
{
    for (tZUQELM* e = reverse ? h->prev : h->next; e != AsElement(h); e = reverse ? e->prev : e->next)
        if (match(e, context)) return e;
    return nullptr;
}

// Links the element in before the first match (scanning from the back with reverse), or at the tail.
void FindAndInsert(tZUQHEAD* h, ZUQMATCHPROC match, void* context, tZUQELM* element, bool reverse)
{
    if (!element) return;
    Locked l(h);
    tZUQELM* before = Find(h, match, context, reverse);
    LinkBefore(h, before ? before : AsElement(h), element);
}

BOOL MoveTo(tZUQHEAD* h, tZUQELM* e, bool toHead)
{
    if (!e || !e->next) return FALSE;
    Locked l(h);
    if (IsEmpty(h) || (toHead ? h->next : h->prev) == e) return FALSE;
    bool found = false;
    for (tZUQELM* p = h->next; p != AsElement(h); p = p->next) found = found || p == e;
    if (!found) return FALSE;
    e->prev->next = e->next;
    e->next->prev = e->prev;
    LinkBefore(h, toHead ? h->next : AsElement(h), e);
    return TRUE;
}

} // namespace

extern "C" {

BOOL ZuQueueInitialize(tZUQHEAD* head)
{
    if (!head->event) {
        auto* ev = new (std::nothrow) QueueEvent;
        auto* lock = new (std::nothrow) RecursiveLock;
        if (!ev || !lock) {
            delete ev;
            delete lock;
            return FALSE;
        }
        head->lock = lock;
        __atomic_store_n(&head->event, ev, __ATOMIC_RELEASE);
    }
    head->next = head->prev = AsElement(head);
    return TRUE;
}

void ZuQueueInsert(tZUQHEAD* head, tZUQELM* element)
{
    Locked l(head);
    LinkBefore(head, AsElement(head), element);
}

void ZuQueueInsertHead(tZUQHEAD* head, tZUQELM* element)
{
    Locked l(head);
    LinkBefore(head, head->next, element);
}

tZUQELM* ZuQueueRemoveEx(tZUQHEAD* head, const ZUHANDLE* handles, uint32_t count, uint32_t flags, uint32_t limit,
                         uint32_t* waitResult)
{
    if (handles && count > 62) return nullptr;
    if (!handles) count = 0;
    uint32_t wakeMask = flags & 0xFFFF;
    const bool serveSent = flags & ZUQ_WAIT_SERVE_SENT;
    if (serveSent) wakeMask |= kQsSendMessage;
    uint32_t waitBits = 0;
    if (flags & ZUQ_WAIT_ALL) waitBits |= kWaitAll;
    if (flags & ZUQ_WAIT_ALERTABLE) waitBits |= kWaitAlertable; // no asynchronous calls exist here
    if (flags & ZUQ_WAIT_INPUTAVAILABLE) waitBits |= kWaitInputAvailable;
    const bool timed = limit != 0 && limit != kInfinite;
    const uint64_t start = timed ? MonotonicMillis() : 0;
    uint32_t remaining = limit;

    LockOf(head)->Lock();
    if (tZUQELM* e = TakeFirstAndUnlock(head)) return e;
    bool keepWaiting = true;
    for (;;) {
        QueueEvent* ev = EventOf(head);
        if (limit == 0 || !ev || !keepWaiting) {
            LockOf(head)->Unlock();
            return nullptr;
        }
        ev->refs.fetch_add(1);
        LockOf(head)->Unlock();
        keepWaiting = false;
        uint32_t r;
        if (count == 0 && wakeMask == 0 && waitBits == 0) {
            r = WaitForObject(&ev->event, limit);
            if (waitResult) *waitResult = r;
        } else {
            WaitObject* objects[63];
            objects[0] = &ev->event;
            for (uint32_t i = 0; i < count; ++i) objects[i + 1] = static_cast<WaitObject*>(handles[i]);
            r = MsgWaitForObjects(objects, count + 1, remaining, wakeMask, waitBits);
            if (waitResult) *waitResult = r;
            bool stop = false;
            if (r == kWaitTimeout || (r >= 1 && r <= count)) {
                stop = true;
            } else if (serveSent && r == kWaitIoCompletion) {
                keepWaiting = true;
            } else if (serveSent && r == count + 1) {
                DeliverSentMessages();
                keepWaiting = true;
            } else if (r != 0) {
                stop = true;
            }
            if (stop) {
                ev->Release();
                return nullptr;
            }
            if (timed) {
                const uint64_t elapsed = MonotonicMillis() - start;
                remaining = elapsed > limit ? 0 : limit - uint32_t(elapsed);
            }
        }
        ev->Release();
        if (!EventOf(head)) return nullptr; // deleted while we waited
        LockOf(head)->Lock();
        if (tZUQELM* e = TakeFirstAndUnlock(head)) return e;
    }
}

tZUQELM* ZuQueueRemove(tZUQHEAD* head, uint32_t limit) { return ZuQueueRemoveEx(head, nullptr, 0, 0, limit, nullptr); }

tZUQELM* ZuQueueRemoveAlertable(tZUQHEAD* head, uint32_t limit)
{
    return ZuQueueRemoveEx(head, nullptr, 0, ZUQ_WAIT_ALERTABLE | ZUQ_WAIT_SERVE_SENT, limit, nullptr);
}

tZUQELM* ZuQueueRemoveTail(tZUQHEAD* head, uint32_t limit)
{
    for (bool waited = false;; waited = true) {
        QueueEvent* ev;
        {
            Locked l(head);
            if (!IsEmpty(head)) {
                tZUQELM* e = head->prev;
                Unlink(head, e);
                return e;
            }
            ev = EventOf(head);
            if (waited || limit == 0 || !ev) return nullptr;
            ev->refs.fetch_add(1);
        }
        WaitForObject(&ev->event, limit);
        ev->Release();
        if (!EventOf(head)) return nullptr;
    }
}

BOOL ZuQueueWait(tZUQHEAD* head, uint32_t limit)
{
    if (!IsEmpty(head)) return TRUE;
    QueueEvent* ev = nullptr;
    if (limit != 0) {
        Locked l(head);
        ev = EventOf(head);
        if (ev) ev->refs.fetch_add(1);
    }
    if (ev) {
        WaitForObject(&ev->event, limit);
        ev->Release();
    }
    return IsEmpty(head) ? FALSE : TRUE;
}

void ZuQueueFlush(tZUQHEAD* head)
{
    Locked l(head);
    head->next = head->prev = AsElement(head);
    if (QueueEvent* ev = EventOf(head)) ev->event.Set();
}

void ZuQueueDelete(tZUQHEAD* head)
{
    auto* ev = static_cast<QueueEvent*>(__atomic_exchange_n(&head->event, nullptr, __ATOMIC_ACQ_REL));
    if (!ev) return;
    ev->event.Set(); // every waiter wakes, sees no event and returns null
    RecursiveLock* lock = LockOf(head);
    lock->Lock(); // no other thread is inside an operation once we hold it
    lock->Unlock();
    ev->Release();
    head->next = head->prev = AsElement(head);
    head->lock = nullptr;
    delete lock;
}

tZUQELM* ZuQueueFindAndMoveToHead(tZUQHEAD* head, ZUQMATCHPROC match, void* context)
{
    Locked l(head);
    tZUQELM* e = Find(head, match, context, false);
    if (e) MoveTo(head, e, true);
    return e;
}

tZUQELM* ZuQueueFindAndMoveToTail(tZUQHEAD* head, ZUQMATCHPROC match, void* context)
{
    Locked l(head);
    tZUQELM* e = Find(head, match, context, false);
    if (e) MoveTo(head, e, false);
    return e;
}

tZUQELM* ZuQueueFindAndRemove(tZUQHEAD* head, ZUQMATCHPROC match, void* context)
{
    Locked l(head);
    tZUQELM* e = Find(head, match, context, false);
    if (e) Unlink(head, e);
    return e;
}

tZUQELM* ZuQueueFindAndRemoveRev(tZUQHEAD* head, ZUQMATCHPROC match, void* context)
{
    Locked l(head);
    tZUQELM* e = Find(head, match, context, true);
    if (e) Unlink(head, e);
    return e;
}

void ZuQueueFindAndInsert(tZUQHEAD* head, ZUQMATCHPROC match, void* context, tZUQELM* element)
{
    FindAndInsert(head, match, context, element, false);
}

void ZuQueueFindAndInsertRev(tZUQHEAD* head, ZUQMATCHPROC match, void* context, tZUQELM* element)
{
    FindAndInsert(head, match, context, element, true);
}

BOOL IsInZuQueue(tZUQHEAD* head, tZUQELM* element)
{
    if (!element || !element->next || !element->prev) return FALSE;
    Locked l(head);
    for (tZUQELM* e = head->next; e != AsElement(head); e = e->next)
        if (e == element) return TRUE;
    return FALSE;
}

BOOL ZuQueueMoveToHead(tZUQHEAD* head, tZUQELM* element) { return MoveTo(head, element, true); }
BOOL ZuQueueMoveToTail(tZUQHEAD* head, tZUQELM* element) { return MoveTo(head, element, false); }
}
