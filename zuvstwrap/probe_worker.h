// The probe worker: runs probes on a thread of its own under a time limit, and gives up a thread that
// hangs in plug-in code without ending the process.
#ifndef ZUVST_PROBE_WORKER_H
#define ZUVST_PROBE_WORKER_H

#include <memory>
#include <mutex>

#include "platform/sync.h"
#include "zuvst/support.h"
#include "zuvstwrap/factory.h"

namespace zuvst {

using WorkerProc = HRESULT (*)(void* argument);

class CWorkerThread {
public:
    // Waits, delivering sent messages, for one of the extra objects or the thread's end.
    uint32_t WaitForThread(uint32_t extraCount, platform::WaitObject* const* extra, uint32_t timeLimit);
    // Ends the thread: at once if it has ended, after the quit message and a second, else by the abort.
    void StopThread();

protected:
    static void ThreadMain(CWorkerThread* worker);

    bool fMultithreaded = false;
    std::mutex lock; // held only while a hung thread is aborted
    std::shared_ptr<platform::Thread> hThread;
    uint32_t idThread = 0;
    WorkerProc pfnProc = nullptr;
    void* pvArg = nullptr;

public:
    // The last thread that had to be aborted, kept to tell how it ended.
    std::shared_ptr<platform::Thread> m_lastGivenUp;
};

// One request: the slot runs on its own copy of the caller's record and buffers, copied back when the
// probe is done, so that a thread given up never writes into the caller's memory.
struct PROBESLOT {
    tZUQELM links;
    ZUVSTPROBE* pProbe;
    platform::Event* hDone;
    ZUVSTPROBE copy;
    WCHAR name[kProbeTextUnits];
    WCHAR vendor[kProbeTextUnits];
    WCHAR product[kProbeTextUnits];
    ZUVSTEFFECTINFO info;
};

// What one started worker owns. A worker whose thread is given up leaves this to that thread and never
// frees it; the next start makes new queues, events and slots.
struct ProbeWorkerState {
    platform::Event* hStop = nullptr;
    tZUQHEAD qPending {};
    tZUQHEAD qFree {};
    PROBESLOT slots[3] {};
};

class CProbeWorker : public CWorkerThread {
public:
    ~CProbeWorker();
    // The slot's done event when the probe ran to its end; null when it was given up.
    platform::Event* Submit(ZUVSTPROBE* probe, uint32_t timeLimit);
    HRESULT Start();
    void Close();
    bool IsStarted() const { return m_state != nullptr; }
    uint32_t ThreadId() const { return idThread; }

private:
    static HRESULT WorkerLoop(void* state);
    ProbeWorkerState* m_state = nullptr;
};

extern CProbeWorker g_probeWorker;

// Raised on a hung worker thread: leaves plug-in code past every guard to the thread's outermost frame.
bool RaiseAbort(uintptr_t threadToken);

} // namespace zuvst

#endif
