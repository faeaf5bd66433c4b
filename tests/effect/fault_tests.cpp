#include <gtest/gtest.h>

#include <dlfcn.h>

#include <functional>
#include <future>
#include <thread>

#include "effect/test_support.h"
#include "platform/fault_guard.h"
#include "platform/lifetime.h"

using namespace zuvst;
using namespace zuvst::vst2;

namespace {

struct Kind {
    ZtFault fault;
    const char* name;
    bool resetsFpu;
};

const Kind kKinds[] = {
    {ZT_FAULT_NULL_DEREF, "null dereference", true},
    {ZT_FAULT_FLOAT_DIV, "float division with traps", true},
    {ZT_FAULT_INT_DIV, "integer division", false},
    {ZT_FAULT_ILLEGAL, "illegal instruction", false},
    {ZT_FAULT_ABORT, "abort()", false},
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer runs its own stack bookkeeping on the overflowing thread.
    {ZT_FAULT_STACK_OVERFLOW, "stack overflow", true},
#endif
    {ZT_FAULT_CPP_EXCEPTION, "C++ exception", false},
};

} // namespace

TEST(Faults, EveryKindTakesItsOperationsFaultPathRepeatedly)
{
    TestPlugin plugin;
    EffectHolder fx(plugin.path);
    ASSERT_EQ(fx.status, S_OK);
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        plugin->faultKind = k.fault;
        for (int round = 0; round < 3; ++round) {
            plugin->faultWhere = effGetVendorString;
            char16_t text[64] = {u'?'};
            EXPECT_EQ(fx->GetVendorString(text, 64), S_OK);
            EXPECT_EQ(text[0], 0);

            plugin->faultWhere = effGetEffectName;
            EXPECT_EQ(fx->GetEffectName(text, 64), S_OK);
            EXPECT_EQ(std::u16string(text), u"zt_plugin"); // the file-name fallback

            plugin->faultWhere = effGetVendorVersion;
            ZUVSTEFFECTINFO info {};
            EXPECT_EQ(fx->GetInfo(&info), S_OK);
            EXPECT_EQ(info.vendorVersion, -1);

            plugin->faultWhere = effGetProgram;
            int32_t program = 0;
            EXPECT_EQ(fx->GetProgram(&program), S_OK);
            EXPECT_EQ(program, -1);

            plugin->faultWhere = ZT_AT_GETPARAM;
            float value = 0.7f;
            EXPECT_EQ(fx->GetParameter(0, &value), ZU_E_EXCEPTION);
            EXPECT_EQ(value, 0.0f);
            if (k.resetsFpu) {
                EXPECT_EQ(platform::ReadSseControl(), 0x1F80u);
                EXPECT_EQ(platform::ReadX87Control(), 0x037F);
            }

            plugin->faultWhere = ZT_AT_SETPARAM;
            EXPECT_EQ(fx->SetParameter(0, 0.3f), ZU_E_EXCEPTION);
        }
        platform::FpuReset(); // a trap the plug-in enabled and that no fault reset
    }
    // The effect stays usable and reaches the plug-in again.
    plugin->faultKind = ZT_FAULT_NONE;
    char16_t text[64];
    EXPECT_EQ(fx->GetVendorString(text, 64), S_OK);
    EXPECT_EQ(std::u16string(text), u"Zuvst Tests");
    EXPECT_EQ(fx->SetParameter(1, 0.25f), S_OK);
    float v = 0;
    EXPECT_EQ(fx->GetParameter(1, &v), S_OK);
    EXPECT_EQ(v, 0.25f);
}

TEST(Faults, FaultsDuringTheLoad)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        TestPlugin plugin;
        plugin->faultKind = k.fault;
        plugin->faultWhere = ZT_AT_ENTRY;
        {
            EffectHolder fx(plugin.path);
            EXPECT_EQ(fx.status, ZU_E_EXCEPTION);
        }
        EXPECT_EQ(g_cLiveEffects.load(), 0);
        platform::FpuReset();
    }
    // A fault in the category query is the dispatcher's: the load goes on with -1.
    TestPlugin plugin;
    plugin->faultKind = ZT_FAULT_NULL_DEREF;
    plugin->faultWhere = effGetPlugCategory;
    EffectHolder fx(plugin.path);
    EXPECT_EQ(fx.status, S_OK);
    EXPECT_EQ(plugin.Opcodes().back(), effOpen);
}

TEST(Faults, FaultInTheLibrarysOwnInitialisation)
{
    for (int round = 0; round < 2; ++round) {
        EffectHolder fx(PluginPath("zt_init_fault"));
        EXPECT_EQ(fx.status, ZU_E_EXCEPTION);
    }
    // The loader's locks were given back: another thread loads a library, and loads here work too.
    auto loaded = std::async(std::launch::async, [] {
        void* h = dlopen(PluginFile("zt_vstmain_only").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h) dlclose(h);
        return h != nullptr;
    });
    ASSERT_EQ(loaded.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(loaded.get());
    TestPlugin plugin;
    EffectHolder fx(plugin.path);
    EXPECT_EQ(fx.status, S_OK);
}

TEST(Faults, FaultsAroundTheOtherDispatcherForms)
{
    TestPlugin plugin;
    auto holder = std::make_unique<EffectHolder>(plugin.path);
    EffectHolder& fx = *holder;
    plugin->faultKind = ZT_FAULT_NULL_DEREF;
    const std::vector<std::pair<int32_t, std::function<HRESULT()>>> rows = {
        {effGetTailSize, [&] { int32_t t = 5; HRESULT hr = fx->GetTailSize(&t); return t == 0 ? hr : E_FAIL; }},
        {effGetParameterProperties, [&] { ZUVSTPARAMPROPS p; return fx->GetParameterProperties(0, &p); }},
        {effShellGetNextPlugin, [&] { return S_OK; }},
        {effSetProgramName, [&] { return fx->SetProgramName(u"other"); }},
        {effStartProcess, [&] { return fx->Start(0); }},
        {effEditOpen, [&] { return fx->EditorOpen(0, nullptr); }},
        {effEditClose, [&] { return fx->EditorClose(); }},
    };
    for (const auto& [opcode, op] : rows) {
        plugin->faultWhere = opcode;
        EXPECT_EQ(op(), S_OK) << opcode;
    }
    EXPECT_EQ(fx->StateBits() & (EFFECT_PROCESSING | EFFECT_EDITOR_OPEN), EFFECT_PROCESSING);
    // An unload with a fault in effClose still counts the effect out.
    plugin->faultWhere = effClose;
    holder.reset();
    EXPECT_EQ(g_cLiveEffects.load(), 0);
}

TEST(Faults, ProbeAbortPassesThroughTheGuards)
{
    TestPlugin plugin;
    EffectHolder fx(plugin.path);
    plugin->faultKind = ZT_FAULT_HANG;
    plugin->faultWhere = ZT_AT_GETPARAM;
    struct Run {
        CZuVstEffect* effect;
        std::atomic<platform::ThreadToken> token {0};
        std::atomic<bool> returned {false};
    } run {fx.effect};
    uint32_t code = 1;
    std::thread t([&] {
        code = platform::RunAbortable(
            [](void* p) {
                auto& r = *static_cast<Run*>(p);
                r.token.store(platform::CurrentThreadToken());
                float v;
                r.effect->GetParameter(0, &v);
                r.returned.store(true);
            },
            &run);
    });
    while (!plugin->hanging.load()) std::this_thread::yield();
    ASSERT_TRUE(platform::RaiseAbort(run.token.load()));
    t.join();
    EXPECT_EQ(code, platform::kCodeProbeAbort);
    EXPECT_FALSE(run.returned.load()); // no fault path was taken: GetParameter never returned
    plugin->faultKind = ZT_FAULT_NONE;
    plugin->hanging.store(0);
    float v = 0;
    EXPECT_EQ(fx->GetParameter(1, &v), S_OK);
}
