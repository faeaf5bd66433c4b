// The one way into plug-in code: every call runs under a guard whose filter is PluginExceptionFilter.
#ifndef ZUVST_EXCEPTION_GUARD_H
#define ZUVST_EXCEPTION_GUARD_H

#include "platform/fault_guard.h"

namespace zuvst {

// Access violations and floating-point faults are handled with the FPU reset; the probe abort passes
// on; every other code is handled as it is.
platform::FaultAction PluginExceptionFilter(uint32_t code);

// Runs f under a guard. Returns true when f returned, false when a fault was handled.
template <class F>
bool GuardedPluginCall(F&& f)
{
    return platform::Guarded(PluginExceptionFilter, static_cast<F&&>(f)) == 0;
}

} // namespace zuvst

#endif
