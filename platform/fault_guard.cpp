#include "platform/fault_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cfenv>
#include <mutex>

#define ZU_TLS __attribute__((tls_model("initial-exec"))) thread_local

namespace zuvst::platform {

namespace {

struct GuardFrame {
    sigjmp_buf jump;
    GuardFrame* prev;
    FaultFilter filter;
    volatile uint32_t code;
    volatile int signal; // the signal that ended the guarded stretch, still blocked after the jump
    volatile int action;
    volatile bool haveFaultState;
    volatile uint32_t faultMxcsr;
    volatile uint16_t faultX87;
    uint32_t entryMxcsr;
    uint16_t entryX87;
};

struct AbortFrame {
    sigjmp_buf jump;
};

ZU_TLS GuardFrame* tl_top = nullptr;
ZU_TLS AbortFrame* tl_abort = nullptr;
ZU_TLS uint32_t tl_ftzBits = 0;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
struct sigaction g_previous[NSIG];
std::once_flag g_installOnce;

constexpr uint32_t kMxcsrDefault = 0x1F80;
constexpr uint32_t kMxcsrFlushBits = 0x8040;
constexpr uint16_t kX87Default = 0x037F;

uint32_t CodeFromSignal(int sig, const siginfo_t* info)
{
    switch (sig) {
    case SIGSEGV:
    case SIGBUS: return kCodeAccessViolation;
    case SIGFPE:
        switch (info->si_code) {
        case FPE_INTDIV: return kCodeIntDivideByZero;
        case FPE_INTOVF: return kCodeIntOverflow;
        case FPE_FLTDIV: return kCodeFltDivideByZero;
        case FPE_FLTOVF: return kCodeFltOverflow;
        case FPE_FLTUND: return kCodeFltUnderflow;
        case FPE_FLTRES: return kCodeFltInexact;
        default: return kCodeFltInvalid;
        }
    case SIGILL: return kCodeIllegalInstruction;
    case SIGTRAP: return kCodeBreakpoint;
    default: return kCodeAbort;
    }
}

// Faults of this thread's own making: raised by the kernel, or by raise()/abort() in this process.
bool IsOwnFault(int sig, const siginfo_t* info)
{
    if (info->si_code > 0) return true;
    return (info->si_code == SI_TKILL || info->si_code == SI_USER) && info->si_pid == ::getpid() &&
           (sig == SIGABRT || sig == SIGTRAP || sig == SIGSEGV || sig == SIGFPE || sig == SIGILL ||
            sig == SIGBUS);
}

void ChainToPrevious(int sig, siginfo_t* info, void* uc)
{
    const struct sigaction& old = g_previous[sig];
    if (old.sa_flags & SA_SIGINFO) {
        if (old.sa_sigaction) {
            old.sa_sigaction(sig, info, uc);
            return;
        }
    } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
        old.sa_handler(sig);
        return;
    }
    // Default action: a kernel fault re-executes and takes it; a raised signal is raised again.
    ::signal(sig, SIG_DFL);
    if (info->si_code <= 0) ::raise(sig);
}

void FaultHandler(int sig, siginfo_t* info, void* uc)
{
    if (IsOwnFault(sig, info)) {
        const uint32_t code = CodeFromSignal(sig, info);
        for (GuardFrame* f = tl_top; f; f = f->prev) {
            const FaultAction action = f->filter(code);
            if (action == kFaultPassOn) continue;
            f->code = code;
            f->signal = sig;
            f->action = action;
#if defined(__x86_64__)
            auto* ctx = static_cast<ucontext_t*>(uc);
            if (ctx && ctx->uc_mcontext.fpregs) {
                f->faultMxcsr = ctx->uc_mcontext.fpregs->mxcsr;
                f->faultX87 = ctx->uc_mcontext.fpregs->cwd;
                f->haveFaultState = true;
            }
#endif
            tl_top = f->prev;
            siglongjmp(f->jump, 1);
        }
    }
    ChainToPrevious(sig, info, uc);
}

void AbortHandler(int, siginfo_t*, void*)
{
    AbortFrame* f = tl_abort;
    if (!f) return; // nothing abortable runs on this thread: the signal has no meaning here
    tl_top = nullptr;
    tl_abort = nullptr;
    siglongjmp(f->jump, 1);
}

void WriteFpuControl(uint16_t x87, uint32_t mxcsr)
{
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(x87));
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#else
    (void)x87;
    (void)mxcsr;
    std::fesetenv(FE_DFL_ENV);
#endif
}

uint32_t CallCatching(void (*body)(void*), void* context, FaultFilter filter)
{
    try {
        body(context);
        return 0;
    } catch (...) {
        if (filter(kCodeCppException) == kFaultPassOn) throw;
        return kCodeCppException;
    }
}

struct SignalStack {
    void* base = nullptr;
    size_t size = 0;
    ~SignalStack()
    {
        if (!base || size == 0) return; // none, or another component's stack: not ours to free
        stack_t off {};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        ::munmap(base, size);
    }
};
thread_local SignalStack tl_signalStack;

} // namespace

void InstallFaultHandlers()
{
    std::call_once(g_installOnce, [] {
        struct sigaction sa {};
        sa.sa_sigaction = FaultHandler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        for (int sig : kFaultSignals) ::sigaction(sig, &sa, &g_previous[sig]);
        struct sigaction ab {};
        ab.sa_sigaction = AbortHandler;
        ab.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ab.sa_mask);
        ::sigaction(AbortSignalNumber(), &ab, nullptr);
    });
}

void EnsureSignalStack()
{
    if (tl_signalStack.base) return;
    stack_t current {};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
        tl_signalStack.size = 0; // someone else's stack serves this thread
        tl_signalStack.base = reinterpret_cast<void*>(1);
        return;
    }
    const size_t size = 256 * 1024;
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    stack_t st {};
    st.ss_sp = base;
    st.ss_size = size;
    if (::sigaltstack(&st, nullptr) != 0) {
        ::munmap(base, size);
        return;
    }
    tl_signalStack.base = base;
    tl_signalStack.size = size;
}

uint32_t RunGuarded(void (*body)(void*), void* context, FaultFilter filter)
{
    InstallFaultHandlers();
    EnsureSignalStack();
    GuardFrame frame;
    frame.prev = tl_top;
    frame.filter = filter;
    frame.code = 0;
    frame.signal = 0;
    frame.action = kFaultPassOn;
    frame.haveFaultState = false;
    frame.entryMxcsr = ReadSseControl();
    frame.entryX87 = ReadX87Control();
    // The signal mask is not saved (that would cost a system call on every guarded call); after a fault
    // only the signal being handled is blocked, and it is unblocked below.
    if (sigsetjmp(frame.jump, 0) == 0) {
        tl_top = &frame;
        const uint32_t code = CallCatching(body, context, filter);
        tl_top = frame.prev;
        return code;
    }
    // Back from a fault: the frames between here and the fault are abandoned.
    tl_top = frame.prev;
    if (frame.signal) {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, frame.signal);
        ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    }
    if (frame.action == kFaultHandleResetFpu)
        FpuReset();
    else if (frame.haveFaultState)
        WriteFpuControl(frame.faultX87, frame.faultMxcsr);
    else
        WriteFpuControl(frame.entryX87, frame.entryMxcsr);
    return frame.code;
}

uint32_t RunAbortable(void (*body)(void*), void* context)
{
    InstallFaultHandlers();
    EnsureSignalStack();
    AbortFrame frame;
    AbortFrame* const outer = tl_abort;
    GuardFrame* const guards = tl_top;
    if (sigsetjmp(frame.jump, 1) == 0) {
        tl_abort = &frame;
        body(context);
        tl_abort = outer;
        return 0;
    }
    tl_abort = outer;
    tl_top = guards;
    FpuReset();
    return kCodeProbeAbort;
}

ThreadToken CurrentThreadToken() { return static_cast<ThreadToken>(::pthread_self()); }

bool RaiseAbort(ThreadToken thread)
{
    InstallFaultHandlers();
    return ::pthread_kill(static_cast<pthread_t>(thread), AbortSignalNumber()) == 0;
}

int AbortSignalNumber() { return SIGRTMIN + 4; }

void SetThreadFlushToZeroBits(uint32_t mxcsrBits) { tl_ftzBits = mxcsrBits & kMxcsrFlushBits; }

void FpuReset() { WriteFpuControl(kX87Default, kMxcsrDefault | tl_ftzBits); }

uint32_t ReadSseControl()
{
#if defined(__x86_64__) || defined(__i386__)
    uint32_t v;
    __asm__ volatile("stmxcsr %0" : "=m"(v));
    return v;
#else
    return 0;
#endif
}

uint16_t ReadX87Control()
{
#if defined(__x86_64__) || defined(__i386__)
    uint16_t v;
    __asm__ volatile("fnstcw %0" : "=m"(v));
    return v;
#else
    return 0;
#endif
}

} // namespace zuvst::platform
