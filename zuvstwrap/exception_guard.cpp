#include "zuvstwrap/exception_guard.h"

namespace zuvst {

platform::FaultAction PluginExceptionFilter(uint32_t code)
{
    if (code == platform::kCodeAccessViolation ||
        (code >= platform::kCodeFltDenormal && code <= platform::kCodeFltUnderflow) || code == 0xC00002B4 ||
        code == 0xC00002B5)
        return platform::kFaultHandleResetFpu;
    if (code == platform::kCodeProbeAbort) return platform::kFaultPassOn;
    return platform::kFaultHandle;
}

} // namespace zuvst
