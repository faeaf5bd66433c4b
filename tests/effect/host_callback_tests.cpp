#include <gtest/gtest.h>

#include "effect/test_support.h"
#include "zuvstwrap/zuvsteffect/host_callback.h"

using namespace zuvst;
using namespace zuvst::vst2;

namespace {

struct HostCallbackTest : ::testing::Test {
    TestPlugin plugin;
    RecordingMaster master; // outlives the effect, which releases it
    std::unique_ptr<EffectHolder> fx;
    void SetUp() override
    {
        fx = std::make_unique<EffectHolder>(plugin.path);
        ASSERT_EQ(fx->status, S_OK);
        plugin.ClearLog();
    }
    intptr_t Call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr, float opt = 0.0f)
    {
        return plugin->host(plugin->lastEffect, opcode, index, value, ptr, opt);
    }
    intptr_t CallUnbound(int32_t opcode, void* ptr = nullptr) { return plugin->host(nullptr, opcode, 0, 0, ptr, 0); }
};

} // namespace

TEST_F(HostCallbackTest, FixedAnswersBoundAndUnbound)
{
    const struct {
        int32_t opcode;
        intptr_t bound, unbound;
    } rows[] = {
        {audioMasterVersion, 2300, 2300},
        {audioMasterGetNumAutomatableParameters, 1024, 1024},
        {audioMasterWillReplaceOrAccumulate, 1, 1},
        {audioMasterUpdateDisplay, 1, 0}, // 1 when bound, even without a master
        {audioMasterCurrentId, 0x5A74506C, 0x5A74506C}, // unbound: the most recent load
        {audioMasterGetSampleRate, 0, 0},
        {audioMasterGetBlockSize, 0, 0},
        {audioMasterGetTime, 0, 0}, // no master
        {4, 0, 0},
        {45, 0, 0},
    };
    g_idLoadingPlugin.store(0x5A74506C);
    for (const auto& r : rows) {
        EXPECT_EQ(Call(r.opcode), r.bound) << r.opcode;
        EXPECT_EQ(CallUnbound(r.opcode), r.unbound) << r.opcode;
    }
}

TEST_F(HostCallbackTest, CanDo)
{
    const struct {
        const char* text;
        intptr_t answer;
    } rows[] = {{"shellCategory", 1},   {"sizeWindow", 1},      {"supplyIdle", 1},       {"sendVstTimeInfo", 1},
                {"startStopProcess", 1}, {"sendvsttimeinfo", 0}, {"receiveVstEvents", 0}, {"", 0}};
    for (const auto& r : rows) {
        char text[64];
        std::strcpy(text, r.text);
        EXPECT_EQ(Call(audioMasterCanDo, 0, 0, text), r.answer) << r.text;
        EXPECT_EQ(CallUnbound(audioMasterCanDo, text), r.answer) << r.text;
    }
    EXPECT_EQ(Call(audioMasterCanDo), 0);
}

TEST_F(HostCallbackTest, HostStrings)
{
    SetHostStrings(u"", u"");
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(Call(audioMasterGetVendorString, 0, 0, buffer), 0);
    EXPECT_EQ(buffer[0], '#'); // untouched
    SetHostStrings(std::u16string(80, u'v').c_str(), u"Pr\u00F6duct");
    EXPECT_EQ(Call(audioMasterGetVendorString, 0, 0, buffer), 1);
    EXPECT_EQ(std::string(buffer), std::string(63, 'v'));
    EXPECT_EQ(CallUnbound(audioMasterGetProductString, buffer), 1);
    EXPECT_STREQ(buffer, "Pr\xC3\xB6" "duct");
    EXPECT_EQ(Call(audioMasterGetProductString), 0); // null ptr
    SetHostStrings(nullptr, u"");                       // null leaves the vendor alone
    EXPECT_EQ(Call(audioMasterGetVendorString, 0, 0, buffer), 1);
    EXPECT_EQ(Call(audioMasterGetProductString, 0, 0, buffer), 0);
    SetHostStrings(u"", u"");
}

TEST_F(HostCallbackTest, RateBlockSizeAndDirectory)
{
    fx->effect->SetSampleRate(44100.7);
    fx->effect->SetBlockSize(333);
    EXPECT_EQ(Call(audioMasterGetSampleRate), 44100);
    EXPECT_EQ(Call(audioMasterGetBlockSize), 333);
    const auto* dir = reinterpret_cast<const char*>(Call(audioMasterGetDirectory));
    EXPECT_EQ(std::string(dir), PluginFile("zt_plugin"));
    EXPECT_EQ(CallUnbound(audioMasterGetDirectory), 0);
}

TEST_F(HostCallbackTest, ForwardingToTheMaster)
{
    // Without a master nothing is forwarded and nothing breaks.
    EXPECT_EQ(Call(audioMasterAutomate, 1, 0, nullptr, 0.5f), 0);
    EXPECT_EQ(Call(audioMasterTempoAt, 0, 100), 0);
    fx->effect->SetMaster(&master);
    master.tempo = 1200000;
    Call(audioMasterAutomate, 3, 0, nullptr, 0.25f);
    Call(audioMasterBeginEdit, 4);
    Call(audioMasterEndEdit, 4);
    Call(audioMasterUpdateDisplay);
    EXPECT_EQ(Call(audioMasterTempoAt, 0, 4410), 1200000);
    Call(audioMasterSizeWindow, 640, 480); // editor closed: not forwarded
    fx->effect->EditorOpen(0, nullptr);
    Call(audioMasterSizeWindow, 640, 480);
    ASSERT_EQ(master.calls.size(), 6u);
    EXPECT_EQ(master.calls[0].name, "Automate");
    EXPECT_EQ(master.calls[0].a, 3);
    EXPECT_EQ(master.calls[0].value, 0.25f);
    EXPECT_EQ(master.calls[1].name, "BeginEdit");
    EXPECT_EQ(master.calls[2].name, "EndEdit");
    EXPECT_EQ(master.calls[3].name, "UpdateDisplay");
    EXPECT_EQ(master.calls[4].name, "TempoAt");
    EXPECT_EQ(master.calls[4].a, 4410);
    EXPECT_EQ(master.calls[5].name, "SizeWindow");
    EXPECT_EQ(master.calls[5].a, 640);
    EXPECT_EQ(master.calls[5].b, 480);
}

TEST_F(HostCallbackTest, IdleFromThePlugin)
{
    fx->effect->SetMaster(&master);
    EXPECT_EQ(Call(audioMasterIdle), 0);
    ASSERT_EQ(master.calls.size(), 1u);
    EXPECT_EQ(master.calls[0].name, "Idle");
    EXPECT_EQ(plugin.Opcodes(), std::vector<int32_t> {effIdle});
    // audioMasterIdle from inside effIdle: the guard makes it a no-op, no host idle, no second effIdle.
    plugin->callbacks[0] = {};
    plugin->callbacks[0].when = effIdle;
    plugin->callbacks[0].opcode = audioMasterIdle;
    plugin->numCallbacks = 1;
    plugin.ClearLog();
    master.calls.clear();
    fx->effect->Idle();
    EXPECT_EQ(plugin.Opcodes(), std::vector<int32_t> {effIdle});
    EXPECT_TRUE(master.calls.empty());
}

TEST_F(HostCallbackTest, TimeTranslation)
{
    fx->effect->SetMaster(&master);
    fx->effect->SetSampleRate(48000.0);
    master.time = ZUVSTTIMEINFO {1234.0, 3, 4, 120.0, 8.5, 8.0, 4.0, 12.0, 0, 0};
    const uint32_t allHost = 0x1FF;
    const int32_t allMask = kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstCyclePosValid | kVstTimeSigValid;
    const struct {
        uint32_t hostFlags;
        int32_t mask;
        int32_t flags;
    } rows[] = {
        {allHost, 0, kVstTransportChanged | kVstTransportPlaying | kVstTransportCycleActive | kVstTransportRecording},
        {allHost & ~ZUVSTTIME_TEMPO_VALID, kVstTempoValid, 0x1 | 0x2 | 0x4 | 0x8},
        {allHost, allMask | 0x100 /* not ours to set */, 0xF | allMask},
        {ZUVSTTIME_TEMPO_VALID | ZUVSTTIME_PLAYING, allMask, kVstTempoValid | kVstTransportPlaying},
    };
    for (const auto& r : rows) {
        master.time.flags = r.hostFlags;
        const auto* t = reinterpret_cast<const VstTimeInfo*>(Call(audioMasterGetTime, 0, r.mask));
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->flags, r.flags) << std::hex << r.mask;
        EXPECT_EQ(t->samplePos, 1234.0);
        EXPECT_EQ(t->sampleRate, 48000.0);
        EXPECT_EQ(t->tempo, (r.flags & kVstTempoValid) ? 120.0 : 0.0);
        EXPECT_EQ(t->ppqPos, (r.flags & kVstPpqPosValid) ? 8.5 : 0.0);
        EXPECT_EQ(t->barStartPos, (r.flags & kVstBarsValid) ? 8.0 : 0.0);
        EXPECT_EQ(t->cycleEndPos, (r.flags & kVstCyclePosValid) ? 12.0 : 0.0);
        EXPECT_EQ(t->timeSigDenominator, (r.flags & kVstTimeSigValid) ? 4 : 0);
        EXPECT_EQ(t->nanoSeconds, 0.0);
        EXPECT_EQ(t->smpteOffset, 0);
    }
    master.timeStatus = S_FALSE;
    EXPECT_EQ(Call(audioMasterGetTime, 0, allMask), 0);
}

TEST_F(HostCallbackTest, CallbacksFromInsideDispatchAndFromThePluginsThread)
{
    fx->effect->SetMaster(&master);
    // From inside a dispatcher call.
    plugin->callbacks[0] = {};
    plugin->callbacks[0].when = effGetVendorVersion;
    plugin->callbacks[0].opcode = audioMasterGetTime;
    plugin->callbacks[0].value = kVstTempoValid;
    plugin->numCallbacks = 1;
    master.time.tempo = 99.0;
    master.time.flags = ZUVSTTIME_TEMPO_VALID;
    ZUVSTEFFECTINFO info;
    fx->effect->GetInfo(&info);
    ASSERT_TRUE(plugin->lastTimeValid);
    EXPECT_EQ(plugin->lastTime.tempo, 99.0);
    // From a thread of the plug-in's own.
    plugin.CallFromThread(audioMasterAutomate, 7, 0, nullptr, 0.75f);
    plugin.CallFromThread(audioMasterNeedIdle, 0, 0, nullptr, 0.0f);
    ASSERT_EQ(master.calls.back().name, "Automate");
    EXPECT_EQ(master.calls.back().a, 7);
    EXPECT_TRUE(fx->effect->StateBits() & EFFECT_WANTS_IDLE);
}
