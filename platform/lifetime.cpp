#include "platform/lifetime.h"

std::atomic<uintptr_t> g_hwndRoot {0};
std::atomic<int32_t> g_cServerLocks {0};
std::atomic<int32_t> g_cLiveEffects {0};
std::atomic<uint32_t> g_idMainThread {0};

namespace {
std::atomic<zuvst::platform::PostQuitProc> g_postQuit {nullptr};
}

namespace zuvst::platform {
void SetPostQuitProc(PostQuitProc proc) { g_postQuit.store(proc); }
} // namespace zuvst::platform

void PostQuitIfIdle()
{
    if (g_hwndRoot.load() != 0 || g_cServerLocks.load() != 0 || g_cLiveEffects.load() != 0) return;
    uint32_t thread = g_idMainThread.load();
    // The exchange makes the post happen once even when two threads find the server idle together.
    if (thread == 0 || !g_idMainThread.compare_exchange_strong(thread, 0)) return;
    if (auto post = g_postQuit.load()) post(thread);
}
