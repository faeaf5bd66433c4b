// Guards around calls into foreign code: hardware faults, raised signals and C++ exceptions inside
// the call come back to the guard as exception codes instead of ending the process.
#ifndef ZUVST_PLATFORM_FAULT_GUARD_H
#define ZUVST_PLATFORM_FAULT_GUARD_H

#include <cstdint>
#include <utility>

namespace zuvst::platform {

// Exception codes that signals and exceptions are mapped to.
constexpr uint32_t kCodeAccessViolation = 0xC0000005;     // SIGSEGV, SIGBUS
constexpr uint32_t kCodeFltDenormal = 0xC000008D;
constexpr uint32_t kCodeFltDivideByZero = 0xC000008E;     // FPE_FLTDIV
constexpr uint32_t kCodeFltInexact = 0xC000008F;          // FPE_FLTRES
constexpr uint32_t kCodeFltInvalid = 0xC0000090;          // FPE_FLTINV, FPE_FLTSUB
constexpr uint32_t kCodeFltOverflow = 0xC0000091;         // FPE_FLTOVF
constexpr uint32_t kCodeFltStackCheck = 0xC0000092;
constexpr uint32_t kCodeFltUnderflow = 0xC0000093;        // FPE_FLTUND
constexpr uint32_t kCodeIntDivideByZero = 0xC0000094;     // FPE_INTDIV
constexpr uint32_t kCodeIntOverflow = 0xC0000095;         // FPE_INTOVF
constexpr uint32_t kCodeIllegalInstruction = 0xC000001D;  // SIGILL
constexpr uint32_t kCodeBreakpoint = 0x80000003;          // SIGTRAP
constexpr uint32_t kCodeAbort = 0x40000015;               // SIGABRT
constexpr uint32_t kCodeCppException = 0xE06D7363;        // a C++ exception left the call
constexpr uint32_t kCodeProbeAbort = 0xE0000001;          // the abort of a hung probe

enum FaultAction : int {
    kFaultPassOn = 0,          // the guard is invisible to this code
    kFaultHandle = 1,          // take the guard's fault path
    kFaultHandleResetFpu = 2,  // take the fault path with the floating-point state reset
};
using FaultFilter = FaultAction (*)(uint32_t code);

// Runs body(context) under a guard. Returns 0 when the body returned, else the code of the fault that
// the filter handled. Installs the process's fault handlers and this thread's signal stack on first use.
uint32_t RunGuarded(void (*body)(void*), void* context, FaultFilter filter);

template <class F>
uint32_t Guarded(FaultFilter filter, F&& f)
{
    auto thunk = [](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); };
    return RunGuarded(thunk, &f, filter);
}

// The thread's outermost frame for abortable work: RaiseAbort on the thread jumps here past every guard.
// Returns 0 when the body returned, kCodeProbeAbort when it was aborted.
uint32_t RunAbortable(void (*body)(void*), void* context);

using ThreadToken = uintptr_t;
ThreadToken CurrentThreadToken();
// Sends the abort signal to the thread; false when it could not be sent.
bool RaiseAbort(ThreadToken thread);
int AbortSignalNumber();

// Default x87 and SSE control state, keeping the flush-to-zero bits recorded for this thread.
void FpuReset();
void SetThreadFlushToZeroBits(uint32_t mxcsrBits);
uint32_t ReadSseControl();
uint16_t ReadX87Control();

void InstallFaultHandlers();
// Gives the calling thread an alternate signal stack, so that a stack overflow is a fault like others.
void EnsureSignalStack();

} // namespace zuvst::platform

#endif
