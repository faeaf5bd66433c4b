// Start-up and shutdown of the support library, and the library clock.
#include <atomic>
#include <mutex>

#include "platform/sync.h"
#include "support/kernel/cpu_features.h"
#include "zuvst/support.h"

void* g_hInstance = nullptr;
HZULANG g_hLang = nullptr;

namespace {

std::once_flag g_clockOnce;
uint64_t g_clockStartMicros = 0;
std::atomic<bool> g_lateInitialized {false};

void StartClock()
{
    std::call_once(g_clockOnce, [] { g_clockStartMicros = zuvst::platform::MonotonicMicros(); });
}

} // namespace

extern "C" {

BOOL ZuKernel_Startup(void* instance, void* module)
{
    (void)module; // the resource module only feeds user-interface tables this system does not have
    StartClock();
    g_hInstance = instance;
    zuvst::support::DetectProcessor();
    ZuLang_Open(&g_hLang, instance, 0, 0);
    g_lateInitialized = true;
    return g_hLang ? TRUE : FALSE;
}

BOOL ZuKernel_Shutdown(void* instance, void* ignored)
{
    (void)instance;
    (void)ignored;
    ZuLang_Close(g_hLang);
    g_hLang = nullptr; // a closed context must not be reachable through the process-wide handle
    g_hInstance = nullptr;
    return TRUE;
}

uint32_t ZuGetMillisec()
{
    StartClock();
    return uint32_t((zuvst::platform::MonotonicMicros() - g_clockStartMicros) / 1000);
}

uint32_t ZuGetMicrosec()
{
    StartClock();
    return uint32_t(zuvst::platform::MonotonicMicros() - g_clockStartMicros);
}
}
