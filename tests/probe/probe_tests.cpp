// Probes under a time limit: reuse of the worker, give-ups of every hang kind, recovery, and a soak.
// Its own test program: a given-up probe's effect stays counted, by design.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "effect/test_support.h"
#include "platform/library.h"
#include "platform/lifetime.h"
#include "platform/sync.h"
#include "zuvstwrap/probe_worker.h"

using namespace zuvst;
using platform::MonotonicMillis;

namespace {

struct ProbeResult {
    HRESULT status;
    std::u16string name;
    uint64_t ms;
};

IZuVstEffectFactory* Factory()
{
    static IZuVstEffectFactory* factory = [] {
        IZuVstEffectFactory* f = nullptr;
        CreateEffectFactory(IID_IZuVstEffectFactory, reinterpret_cast<void**>(&f));
        return f;
    }();
    return factory;
}

ProbeResult Probe(const std::u16string& path, uint32_t limit)
{
    char16_t name[64] = {}, vendor[64] = {}, product[64] = {};
    ZUVSTEFFECTINFO info {};
    const uint64_t t0 = MonotonicMillis();
    const HRESULT hr = Factory()->ProbeEffect(path.c_str(), 0, name, vendor, product, &info, limit);
    return {hr, name, MonotonicMillis() - t0};
}

int ThreadCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::string ReleaseFile()
{
    static const std::string file = testing::TempDir() + "zt_release_" + std::to_string(getpid());
    return file;
}

} // namespace

TEST(ProbeWorker, AStartedWorkerIsReused)
{
    TestPlugin plugin;
    const auto a = Probe(plugin.path, 5000);
    ASSERT_EQ(a.status, S_OK);
    EXPECT_EQ(a.name, u"Zt Test Effect");
    const uint32_t thread = g_probeWorker.ThreadId();
    EXPECT_NE(thread, 0u);
    EXPECT_NE(thread, platform::CurrentThreadId());
    EXPECT_EQ(Probe(plugin.path, 5000).status, S_OK);
    EXPECT_EQ(g_probeWorker.ThreadId(), thread);
    // A file that fails to load comes back with its load status through the worker too.
    EXPECT_EQ(Probe(u"/nonexistent.so", 5000).status, ZU_E_MOD_NOT_FOUND);
}

TEST(ProbeWorker, EveryHangKindIsGivenUpAndTheNextProbeRuns)
{
    const struct {
        const char* name;
        ZtFault kind;
        int32_t where;
    } rows[] = {
        {"busy loop in effGetEffectName", ZT_FAULT_HANG, vst2::effGetEffectName},
        {"sleep in effGetEffectName", ZT_FAULT_SLEEP, vst2::effGetEffectName},
        {"futex in effGetVendorString", ZT_FAULT_FUTEX, vst2::effGetVendorString},
        {"busy loop in the entry call", ZT_FAULT_HANG, ZT_AT_ENTRY},
        {"busy loop in effOpen", ZT_FAULT_HANG, vst2::effOpen},
    };
    TestPlugin plugin;
    const int baseline = ThreadCount();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        plugin->faultKind = r.kind;
        plugin->faultWhere = r.where;
        const uint32_t before = g_probeWorker.ThreadId();
        const auto hung = Probe(plugin.path, 200);
        EXPECT_EQ(hung.status, ZU_E_CANCELLED);
        EXPECT_GE(hung.ms, 1150u); // the limit and the second the quit message gets
        EXPECT_LE(hung.ms, 2500u);
        EXPECT_FALSE(g_probeWorker.IsStarted()); // nothing left after the give-up
        // The abandoned thread leaves the plug-in and ends with the cancel status.
        auto given = g_probeWorker.m_lastGivenUp;
        ASSERT_TRUE(given);
        EXPECT_EQ(platform::WaitForObject(given.get(), 5000), 0u);
        EXPECT_EQ(given->ExitCode(), uint32_t(ZU_E_CANCELLED));
        plugin->faultKind = ZT_FAULT_NONE;
        plugin->hanging.store(0);
        const auto next = Probe(plugin.path, 5000);
        EXPECT_EQ(next.status, S_OK);
        EXPECT_NE(g_probeWorker.ThreadId(), before);
    }
    EXPECT_LE(ThreadCount(), baseline + 1);
}

TEST(ProbeWorker, ASentMessageReachesTheWaitingCallerWithoutDeadlock)
{
    TestPlugin plugin;
    plugin->faultKind = ZT_FAULT_SLEEP;
    plugin->faultWhere = vst2::effGetEffectName;
    const uint32_t caller = platform::CurrentThreadId();
    platform::EnsureMessageQueue();
    std::atomic<uint32_t> ranOn {0};
    std::atomic<uint64_t> ranAt {0};
    std::thread sender([&] {
        while (!plugin->hanging.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        platform::SendThreadMessage(caller, [&] {
            ranOn = platform::CurrentThreadId();
            ranAt = MonotonicMillis();
        });
    });
    // The plug-in lets go by itself shortly after, so the probe is done, not given up.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        plugin->hangRelease.store(1);
    });
    const uint64_t t0 = MonotonicMillis();
    const auto r = Probe(plugin.path, 5000);
    sender.join();
    releaser.join();
    EXPECT_EQ(r.status, S_OK);
    EXPECT_EQ(ranOn.load(), caller);
    EXPECT_LT(ranAt.load() - t0, r.ms); // during the wait
}

TEST(ProbeWorker, AThreadThatBlocksTheAbortIsGivenUpOnTime)
{
    TestPlugin plugin;
    plugin->faultKind = ZT_FAULT_HANG_MASKED;
    plugin->faultWhere = vst2::effGetEffectName;
    const auto hung = Probe(plugin.path, 100);
    EXPECT_EQ(hung.status, ZU_E_CANCELLED);
    EXPECT_LE(hung.ms, 2000u);
    auto given = g_probeWorker.m_lastGivenUp;
    ASSERT_TRUE(given);
    EXPECT_EQ(platform::WaitForObject(given.get(), 300), platform::kWaitTimeout); // still in the plug-in
    plugin->faultKind = ZT_FAULT_NONE;
    const auto next = Probe(plugin.path, 5000); // a fresh worker, untouched by the abandoned one
    EXPECT_EQ(next.status, S_OK);
    // Let the abandoned thread go: it finishes on its own state and ends.
    plugin->hangRelease.store(1);
    EXPECT_EQ(platform::WaitForObject(given.get(), 5000), 0u);
    plugin->hangRelease.store(0);
    EXPECT_EQ(Probe(plugin.path, 5000).status, S_OK);
}

TEST(ProbeWorker, AHangInTheLibrarysInitialisation)
{
    setenv("ZT_INIT_RELEASE", ReleaseFile().c_str(), 1);
    std::remove(ReleaseFile().c_str());
    // Abortable: the abort gives the loader back, and loading goes on in the process.
    const auto hung = Probe(PluginPath("zt_init_hang"), 100);
    EXPECT_EQ(hung.status, ZU_E_CANCELLED);
    ASSERT_TRUE(g_probeWorker.m_lastGivenUp);
    EXPECT_EQ(platform::WaitForObject(g_probeWorker.m_lastGivenUp.get(), 5000), 0u);
    TestPlugin plugin;
    EXPECT_EQ(Probe(plugin.path, 5000).status, S_OK);

    // With the abort blocked the loader stays held: later loads fail at once instead of hanging.
    const auto masked = Probe(PluginPath("zt_init_hang_masked"), 100);
    EXPECT_EQ(masked.status, ZU_E_CANCELLED);
    EXPECT_TRUE(platform::AbandonedLoadInProgress());
    const auto refused = Probe(plugin.path, 5000);
    EXPECT_EQ(refused.status, ZU_E_LOADER_HUNG);
    EXPECT_LT(refused.ms, 100u);
    void* effect = nullptr;
    EXPECT_EQ(Factory()->CreateEffect(plugin.path.c_str(), 0, IID_IZuVstEffect, &effect), ZU_E_LOADER_HUNG);
    // Once the library lets go, the process loads again.
    std::ofstream(ReleaseFile()) << "go";
    auto given = g_probeWorker.m_lastGivenUp;
    ASSERT_TRUE(given);
    EXPECT_EQ(platform::WaitForObject(given.get(), 10000), 0u);
    EXPECT_FALSE(platform::AbandonedLoadInProgress());
    EXPECT_EQ(Probe(plugin.path, 5000).status, S_OK);
    std::remove(ReleaseFile().c_str());
}

TEST(ProbeWorker, SoakOfNormalAndHangingProbes)
{
    TestPlugin plugin;
    const int baseline = ThreadCount();
    int cancelled = 0, done = 0;
    for (int i = 0; i < 200; ++i) {
        const bool hang = i % 20 == 7;
        plugin->faultKind = hang ? ZT_FAULT_HANG : ZT_FAULT_NONE;
        plugin->faultWhere = vst2::effGetProductString;
        const auto r = Probe(plugin.path, hang ? 50 : 5000);
        if (hang) {
            ASSERT_EQ(r.status, ZU_E_CANCELLED) << i;
            ++cancelled;
        } else {
            ASSERT_EQ(r.status, S_OK) << i;
            ASSERT_EQ(r.name, u"Zt Test Effect") << i;
            ++done;
        }
        plugin->hanging.store(0);
        ASSERT_LE(ThreadCount(), baseline + 3) << i; // the worker and the hung ones on their way out
    }
    EXPECT_EQ(cancelled, 10);
    EXPECT_EQ(done, 190);
}

TEST(ProbeWorkerDeathTest, AnIdleWorkerEndsAtProcessExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TestPlugin plugin;
            const auto r = Probe(plugin.path, 5000);
            std::exit(r.status == S_OK && g_probeWorker.IsStarted() ? 3 : 1);
        },
        ::testing::ExitedWithCode(3), "");
}
