#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <cstdlib>
#include <thread>

#include "platform/fault_guard.h"
#include "zuvstwrap/exception_guard.h"

using namespace zuvst;
using namespace zuvst::platform;

std::string PluginFile(const char* name) { return std::string(ZT_PLUGIN_DIR) + "/" + name + ".so"; }

namespace {

// These fault on purpose; the undefined-behaviour sanitizer must let them.
#define ZT_FAULTS_ON_PURPOSE __attribute__((noinline, no_sanitize("undefined")))

ZT_FAULTS_ON_PURPOSE void NullWrite()
{
    volatile int* volatile p = nullptr;
    *p = 1;
}

ZT_FAULTS_ON_PURPOSE void DivideFloatByZeroWithTraps()
{
    feenableexcept(FE_DIVBYZERO);
    volatile float zero = 0.0f;
    volatile float r = 1.0f / zero;
    (void)r;
}

ZT_FAULTS_ON_PURPOSE void DivideIntByZero()
{
    volatile int zero = 0, one = 1;
    volatile int r = one / zero;
    (void)r;
}

FaultAction HandleAll(uint32_t) { return kFaultHandle; }
FaultAction PassAll(uint32_t) { return kFaultPassOn; }

} // namespace

TEST(FaultGuard, NestedGuardsTakeTheInnermostFaultPath)
{
    int innerPath = 0, outerReturned = 0;
    for (int round = 0; round < 3; ++round) {
        const uint32_t outer = Guarded(HandleAll, [&] {
            const uint32_t inner = Guarded(HandleAll, [] { NullWrite(); });
            innerPath += inner == kCodeAccessViolation;
            ++outerReturned;
        });
        EXPECT_EQ(outer, 0u);
    }
    EXPECT_EQ(innerPath, 3);
    EXPECT_EQ(outerReturned, 3);
}

TEST(FaultGuard, AGuardThatPassesOnLeavesTheFaultToTheOuterOne)
{
    bool afterInner = false;
    const uint32_t outer = Guarded(HandleAll, [&] {
        Guarded(PassAll, [] { NullWrite(); });
        afterInner = true;
    });
    EXPECT_EQ(outer, kCodeAccessViolation);
    EXPECT_FALSE(afterInner);
}

TEST(FaultGuard, FloatTrapResetsTheFpuAndKeepsFlushToZero)
{
    SetThreadFlushToZeroBits(0x8040);
    const uint32_t code = Guarded(PluginExceptionFilter, [] { DivideFloatByZeroWithTraps(); });
    EXPECT_EQ(code, kCodeFltDivideByZero);
    EXPECT_EQ(ReadSseControl() & 0xFFBF, 0x1F80u | 0x8000u);
    EXPECT_EQ(ReadSseControl() & 0x8040, 0x8040u);
    EXPECT_EQ(ReadX87Control(), 0x037F);
    SetThreadFlushToZeroBits(0);
    FpuReset();
    EXPECT_EQ(ReadSseControl(), 0x1F80u);
}

TEST(FaultGuard, IntegerDivisionIsHandledWithoutReset)
{
    // A control state of the caller's that a reset would undo.
    const uint32_t before = ReadSseControl();
    const uint32_t custom = (before & ~0x6000u) | 0x6000u; // round toward zero
    __asm__ volatile("ldmxcsr %0" : : "m"(custom));
    const uint32_t code = Guarded(PluginExceptionFilter, [] { DivideIntByZero(); });
    EXPECT_EQ(code, kCodeIntDivideByZero);
    EXPECT_EQ(ReadSseControl() & 0x6000, 0x6000u);
    __asm__ volatile("ldmxcsr %0" : : "m"(before));
}

struct AbortRun {
    std::atomic<ThreadToken> token {0};
    std::atomic<bool> inside {false}, guardPath {false}, returned {false};
};

TEST(FaultGuard, AbortFrameJumpsPastEveryGuard)
{
    AbortRun run;
    uint32_t result = 1;
    std::thread t([&] {
        result = RunAbortable(
            [](void* p) {
                auto& r = *static_cast<AbortRun*>(p);
                r.token.store(CurrentThreadToken());
                const uint32_t code = Guarded(PluginExceptionFilter, [&] {
                    r.inside.store(true);
                    for (;;) pause();
                });
                r.guardPath.store(code != 0);
                r.returned.store(true);
            },
            &run);
        // The thread's guard chain is clean again after the jump.
        EXPECT_EQ(Guarded(HandleAll, [] { NullWrite(); }), kCodeAccessViolation);
    });
    while (!run.inside.load()) std::this_thread::yield();
    ASSERT_TRUE(RaiseAbort(run.token.load()));
    t.join();
    EXPECT_EQ(result, kCodeProbeAbort);
    EXPECT_FALSE(run.guardPath.load());
    EXPECT_FALSE(run.returned.load());
}

TEST(FaultGuard, FilterDecisions)
{
    struct Row {
        uint32_t code;
        FaultAction action;
    } rows[] = {
        {kCodeAccessViolation, kFaultHandleResetFpu}, {kCodeFltDenormal, kFaultHandleResetFpu},
        {kCodeFltUnderflow, kFaultHandleResetFpu},    {0xC00002B4, kFaultHandleResetFpu},
        {0xC00002B5, kFaultHandleResetFpu},           {kCodeIntDivideByZero, kFaultHandle},
        {kCodeIllegalInstruction, kFaultHandle},      {kCodeCppException, kFaultHandle},
        {kCodeAbort, kFaultHandle},                   {kCodeProbeAbort, kFaultPassOn},
    };
    for (const Row& r : rows) EXPECT_EQ(PluginExceptionFilter(r.code), r.action) << std::hex << r.code;
}

namespace {
void PreviousHandler(int) { _exit(42); }
} // namespace

TEST(FaultGuardDeathTest, FaultOutsideAnyGuardReachesThePreviousHandler)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // A fresh process image: our handlers are installed after this one.
            struct sigaction sa {};
            sa.sa_handler = PreviousHandler;
            sigaction(SIGSEGV, &sa, nullptr);
            InstallFaultHandlers();
            NullWrite();
        },
        ::testing::ExitedWithCode(42), "");
}
