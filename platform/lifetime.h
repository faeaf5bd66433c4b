// The server's lifetime state: the counts that keep it alive and the rule that ends its message loop.
#ifndef ZUVST_PLATFORM_LIFETIME_H
#define ZUVST_PLATFORM_LIFETIME_H

#include <atomic>
#include <cstdint>

extern std::atomic<uintptr_t> g_hwndRoot;       // the root window while it is up
extern std::atomic<int32_t> g_cServerLocks;     // LockServer balance
extern std::atomic<int32_t> g_cLiveEffects;     // effect objects alive
extern std::atomic<uint32_t> g_idMainThread;    // the thread running the message loop; 0 when none

namespace zuvst::platform {

// How the quit message reaches the main thread; the server installs its message-queue post here.
using PostQuitProc = void (*)(uint32_t threadId);
void SetPostQuitProc(PostQuitProc proc);

} // namespace zuvst::platform

// Posts quit to g_idMainThread once, when no root window, no lock and no effect remain.
void PostQuitIfIdle();

#endif
