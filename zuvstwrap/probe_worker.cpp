#include "zuvstwrap/probe_worker.h"

#include <cstring>
#include <new>

#include "platform/fault_guard.h"
#include "platform/library.h"

namespace zuvst {

CProbeWorker g_probeWorker;

bool RaiseAbort(uintptr_t threadToken) { return platform::RaiseAbort(threadToken); }

uint32_t CWorkerThread::WaitForThread(uint32_t extraCount, platform::WaitObject* const* extra, uint32_t timeLimit)
{
    platform::WaitObject* list[platform::kMaxWaitObjects];
    uint32_t count = 0;
    for (; count < extraCount && count < platform::kMaxWaitObjects - 2; ++count) list[count] = extra[count];
    if (hThread) list[count++] = hThread.get();
    if (count == 0) return 0;
    const uint64_t start = platform::MonotonicMillis();
    uint32_t remaining = timeLimit;
    for (;;) {
        const uint32_t r = platform::MsgWaitForObjects(list, count, remaining, platform::kQsSendMessage, 0);
        if (r == count) {
            platform::DeliverSentMessages();
        } else if (r == platform::kWaitIoCompletion) {
            if (remaining == 0) return platform::kWaitTimeout;
        } else {
            return r;
        }
        if (timeLimit != platform::kInfinite) {
            const uint64_t elapsed = platform::MonotonicMillis() - start;
            remaining = elapsed >= timeLimit ? 0 : timeLimit - uint32_t(elapsed);
        }
    }
}

void CWorkerThread::ThreadMain(CWorkerThread* worker)
{
    const WorkerProc proc = worker->pfnProc;
    void* const argument = worker->pvArg;
    // The thread's own apartment: a message queue, so that calls can be sent to it.
    platform::EnsureMessageQueue();
    struct Run {
        WorkerProc proc;
        void* argument;
        HRESULT result;
    } run {proc, argument, S_OK};
    const platform::LoaderLocks none = platform::CaptureLoaderLocks();
    const uint32_t code = platform::RunAbortable([](void* p) {
        auto* r = static_cast<Run*>(p);
        r->result = r->proc(r->argument);
    }, &run);
    if (code == platform::kCodeProbeAbort) {
        // Out of plug-in code by force: give back the loader's locks if the jump left a load behind.
        platform::RestoreLoaderLocks(none);
        run.result = ZU_E_CANCELLED;
    }
    platform::ForgetThreadMarks();
    platform::DestroyMessageQueue();
    platform::Thread::SetCurrentExitCode(uint32_t(run.result));
}

void CWorkerThread::StopThread()
{
    if (!hThread) return;
    if (WaitForThread(0, nullptr, 0) == platform::kWaitTimeout) {
        platform::PostThreadMessage(idThread, platform::kMsgQuit, 0, 0);
        if (WaitForThread(0, nullptr, 1000) == platform::kWaitTimeout) {
            std::lock_guard<std::mutex> g(lock);
            if (WaitForThread(0, nullptr, 0) == platform::kWaitTimeout) {
                platform::MarkThreadAbandoned(hThread->Token());
                RaiseAbort(hThread->Token());
                m_lastGivenUp = hThread;
            }
        }
    }
    hThread.reset();
    idThread = 0;
}

CProbeWorker::~CProbeWorker()
{
    Close();
    StopThread();
}

HRESULT CProbeWorker::Start()
{
    if (!m_state) {
        auto* state = new (std::nothrow) ProbeWorkerState;
        if (!state) return ZU_E_WORKERSTART;
        m_state = state;
        if (!ZuQueueInitialize(&state->qFree) || !ZuQueueInitialize(&state->qPending)) {
            Close();
            return ZU_E_WORKERSTART;
        }
        state->hStop = new (std::nothrow) platform::Event(false, false);
        if (!state->hStop) {
            Close();
            return ZU_E_WORKERSTART;
        }
        for (PROBESLOT& slot : state->slots) {
            slot.hDone = new (std::nothrow) platform::Event(false, false);
            if (!slot.hDone) {
                Close();
                return ZU_E_WORKERSTART;
            }
            ZuQueueInsert(&state->qFree, &slot.links);
        }
    }
    if (hThread) return S_FALSE;
    pfnProc = &CProbeWorker::WorkerLoop;
    pvArg = m_state;
    fMultithreaded = false;
    hThread = platform::Thread::Start([this] { ThreadMain(this); });
    if (!hThread) {
        Close();
        return ZU_E_WORKERSTART;
    }
    idThread = hThread->Id();
    return S_OK;
}

HRESULT CProbeWorker::WorkerLoop(void* argument)
{
    auto* state = static_cast<ProbeWorkerState*>(argument);
    state->hStop->Reset();
    ZUHANDLE stop[] = {static_cast<platform::WaitObject*>(state->hStop)};
    while (tZUQELM* e = ZuQueueRemoveEx(&state->qPending, stop, 1, ZUQ_WAIT_SERVE_SENT, platform::kInfinite, nullptr)) {
        auto* slot = reinterpret_cast<PROBESLOT*>(e);
        RunProbe(&slot->copy);
        slot->hDone->Set();
        ZuQueueInsert(&state->qFree, &slot->links);
    }
    return S_OK;
}

platform::Event* CProbeWorker::Submit(ZUVSTPROBE* probe, uint32_t timeLimit)
{
    if (!m_state || !hThread) {
        if (FAILED(Start())) return nullptr;
    }
    ProbeWorkerState* const state = m_state;
    auto* slot = reinterpret_cast<PROBESLOT*>(ZuQueueRemove(&state->qFree, platform::kInfinite));
    if (!slot) return nullptr;
    // The worker runs on the slot's own copy; the caller's buffers are copied in and, when done, out.
    slot->pProbe = probe;
    slot->copy = *probe;
    const auto copyIn = [](WCHAR* own, const WCHAR* theirs) {
        if (theirs) std::memcpy(own, theirs, sizeof(WCHAR) * kProbeTextUnits);
    };
    copyIn(slot->name, probe->pszEffectName);
    copyIn(slot->vendor, probe->pszVendor);
    copyIn(slot->product, probe->pszProduct);
    if (probe->pInfo) slot->info = *probe->pInfo;
    slot->copy.pszEffectName = probe->pszEffectName ? slot->name : nullptr;
    slot->copy.pszVendor = probe->pszVendor ? slot->vendor : nullptr;
    slot->copy.pszProduct = probe->pszProduct ? slot->product : nullptr;
    slot->copy.pInfo = probe->pInfo ? &slot->info : nullptr;
    platform::Event* const done = slot->hDone;
    done->Reset();
    ZuQueueInsertHead(&state->qPending, &slot->links);
    if (timeLimit == 0) return done;

    platform::WaitObject* extra[] = {done};
    const uint32_t r = WaitForThread(1, extra, timeLimit);
    if (r != 0) {
        // The limit passed, or the thread ended before it ran the probe: either way it was not done.
        Close();
        return nullptr;
    }
    probe->hrStatus = slot->copy.hrStatus;
    const auto copyOut = [](WCHAR* theirs, const WCHAR* own) {
        if (theirs) std::memcpy(theirs, own, sizeof(WCHAR) * kProbeTextUnits);
    };
    copyOut(probe->pszEffectName, slot->name);
    copyOut(probe->pszVendor, slot->vendor);
    copyOut(probe->pszProduct, slot->product);
    if (probe->pInfo) *probe->pInfo = slot->info;
    return done;
}

void CProbeWorker::Close()
{
    ProbeWorkerState* const state = m_state;
    if (!state) return;
    m_state = nullptr;
    if (state->hStop) state->hStop->Set();
    const std::shared_ptr<platform::Thread> thread = hThread;
    StopThread();
    // The give-up's thread may still run (it blocks the abort, or is on its way out): it keeps this
    // state, which is therefore never freed; a thread that ended leaves nothing behind.
    if (thread && !thread->IsSignalled()) return;
    for (tZUQHEAD* q : {&state->qPending, &state->qFree}) {
        if (!q->event) continue;
        while (ZuQueueRemove(q, 0)) {
        }
        ZuQueueDelete(q);
    }
    for (PROBESLOT& slot : state->slots) delete slot.hDone;
    delete state->hStop;
    delete state;
}

} // namespace zuvst
