#include <gtest/gtest.h>

#include <cmath>

#include "effect/test_support.h"

using namespace zuvst;
using namespace zuvst::vst2;

namespace {

struct Fixture : ::testing::Test {
    TestPlugin plugin;
    std::unique_ptr<EffectHolder> fx;
    void SetUp() override { Reload(); }
    void Reload()
    {
        fx.reset();
        fx = std::make_unique<EffectHolder>(plugin.path);
        ASSERT_EQ(fx->status, S_OK);
        plugin.ClearLog();
    }
    CZuVstEffect* e() { return fx->effect; }
    std::vector<int32_t> Sent()
    {
        auto ops = plugin.Opcodes();
        plugin.ClearLog();
        return ops;
    }
};

using Ops = std::vector<int32_t>;
using Operations = Fixture;

} // namespace

TEST_F(Operations, TransportTable)
{
    enum From { Neither, ResumedOnly, Both };
    struct Row {
        From from;
        bool start;
        BOOL arg;
        Ops sent;
        uint32_t to;
        HRESULT result;
    } rows[] = {
        {Neither, true, 0, {effMainsChanged, effStartProcess}, EFFECT_RESUMED | EFFECT_PROCESSING, S_OK},
        {Neither, true, 1, {effMainsChanged, effStartProcess}, EFFECT_RESUMED | EFFECT_PROCESSING, S_OK},
        {Both, true, 0, {}, EFFECT_RESUMED | EFFECT_PROCESSING, S_FALSE},
        {Both, true, 1, {effMainsChanged}, EFFECT_RESUMED | EFFECT_PROCESSING, S_OK},
        {ResumedOnly, true, 0, {effStartProcess}, EFFECT_RESUMED | EFFECT_PROCESSING, S_OK},
        {ResumedOnly, true, 1, {effMainsChanged, effStartProcess}, EFFECT_RESUMED | EFFECT_PROCESSING, S_OK},
        {Both, false, 0, {effStopProcess}, EFFECT_RESUMED, S_OK},
        {Both, false, 1, {effStopProcess, effMainsChanged}, 0, S_OK},
        {ResumedOnly, false, 0, {}, EFFECT_RESUMED, S_FALSE},
        {ResumedOnly, false, 1, {effMainsChanged}, 0, S_OK},
        {Neither, false, 0, {}, 0, S_FALSE},
        {Neither, false, 1, {}, 0, S_FALSE},
    };
    for (const Row& r : rows) {
        Reload();
        if (r.from != Neither) e()->Start(0);
        if (r.from == ResumedOnly) e()->Stop(0);
        plugin.ClearLog();
        const HRESULT hr = r.start ? e()->Start(r.arg) : e()->Stop(r.arg);
        const auto log = plugin.Entries(ZT_DISPATCH);
        Ops sent;
        for (const auto& l : log) sent.push_back(l.opcode);
        EXPECT_EQ(hr, r.result);
        EXPECT_EQ(sent, r.sent);
        EXPECT_EQ(e()->StateBits() & (EFFECT_RESUMED | EFFECT_PROCESSING), r.to);
        for (const auto& l : log) {
            if (l.opcode == effMainsChanged) {
                EXPECT_EQ(l.value, r.start ? 1 : 0);
            }
        }
    }
}

TEST_F(Operations, RateAndBlockSizeAreSentOnlyWhenChanged)
{
    EXPECT_EQ(e()->SetSampleRate(44100.0), S_OK);
    EXPECT_EQ(e()->SetSampleRate(44100.0), S_FALSE);
    EXPECT_EQ(e()->SetSampleRate(48000.5), S_OK);
    auto log = plugin.Entries(ZT_DISPATCH);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].opt, 48000.5f);
    plugin.ClearLog();
    EXPECT_EQ(e()->SetBlockSize(512), S_OK);
    EXPECT_EQ(e()->SetBlockSize(512), S_FALSE);
    log = plugin.Entries(ZT_DISPATCH);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].opcode, effSetBlockSize);
    EXPECT_EQ(log[0].value, 512);
    EXPECT_TRUE(plugin.Entries(ZT_SETPARAM).empty());
}

TEST_F(Operations, BlockSizeListedPluginGetsParameterZeroAgain)
{
    plugin->uniqueID = g_rgBlockSizeRefreshIDs[0];
    plugin->params[0] = 1.5f; // set again as clamped
    Reload();
    e()->SetBlockSize(256);
    const auto set = plugin.Entries(ZT_SETPARAM);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].index, 0);
    EXPECT_EQ(set[0].opt, 1.0f);
}

TEST_F(Operations, ParametersClampOnReadOnly)
{
    const struct {
        float stored, read;
    } rows[] = {{0.25f, 0.25f}, {1.5f, 1.0f}, {-0.2f, 0.0f}, {1.0f, 1.0f}, {0.0f, 0.0f}};
    for (const auto& r : rows) {
        ASSERT_EQ(e()->SetParameter(3, r.stored), S_OK);
        float v = -1;
        ASSERT_EQ(e()->GetParameter(3, &v), S_OK);
        EXPECT_EQ(v, r.read);
    }
    EXPECT_EQ(plugin.Entries(ZT_SETPARAM).back().opt, 0.0f);
    e()->SetParameter(3, NAN);
    float v = 0;
    e()->GetParameter(3, &v);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(e()->GetParameter(3, nullptr), E_INVALIDARG);
}

TEST_F(Operations, TailSizeAndDelay)
{
    const struct {
        int64_t answer;
        int32_t reported;
    } rows[] = {{0, 0}, {1, 0}, {2, 2}, {4410, 4410}, {-7, 0}};
    for (const auto& r : rows) {
        plugin->tailSize = r.answer;
        int32_t tail = -1;
        EXPECT_EQ(e()->GetTailSize(&tail), S_OK);
        EXPECT_EQ(tail, r.reported);
    }
    for (int32_t d : {-5, 0, 64}) {
        plugin->initialDelay = d;
        Reload();
        int32_t delay = -1;
        EXPECT_EQ(e()->GetInitialDelay(&delay), S_OK);
        EXPECT_EQ(delay, std::max(d, 0));
    }
    EXPECT_TRUE(Sent().empty()); // the delay is read from the descriptor
}

TEST_F(Operations, Programs)
{
    EXPECT_EQ(e()->SetProgram(0), S_FALSE);
    EXPECT_EQ(Sent(), Ops {effGetProgram});
    EXPECT_EQ(e()->SetProgram(4), E_INVALIDARG);
    EXPECT_EQ(e()->SetProgram(-2), E_INVALIDARG);
    Sent();
    EXPECT_EQ(e()->SetProgram(2), S_OK);
    EXPECT_EQ(Sent(), (Ops {effGetProgram, effBeginSetProgram, effSetProgram, effEndSetProgram}));
    int32_t program = -1;
    EXPECT_EQ(e()->GetProgram(&program), S_OK);
    EXPECT_EQ(program, 2);

    char16_t name[64];
    EXPECT_EQ(e()->GetProgramName(-1, name, 64), E_INVALIDARG);
    EXPECT_EQ(std::u16string(name), u"Program 2");
    EXPECT_EQ(e()->GetProgramName(-2, name, 64), E_INVALIDARG);
    EXPECT_EQ(e()->GetProgramName(4, name, 64), E_INVALIDARG);
    EXPECT_EQ(e()->GetProgramName(3, name, 64), S_OK);
    EXPECT_EQ(std::u16string(name), u"Program 3");
}

TEST_F(Operations, ProgramNameWithoutIndexedNames)
{
    plugin->namesProgramsIndexed = 0;
    e()->SetProgram(1);
    Sent();
    char16_t name[64];
    EXPECT_EQ(e()->GetProgramName(3, name, 64), S_OK);
    EXPECT_EQ(std::u16string(name), u"Program 3");
    const auto log = plugin.Entries(ZT_DISPATCH);
    const Ops expected {effGetProgramNameIndexed, effGetProgram,      effBeginSetProgram,
                        effSetProgram,            effEndSetProgram,   effGetProgramName,
                        effBeginSetProgram,       effSetProgram,      effEndSetProgram};
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].opcode, expected[i]) << i;
    EXPECT_EQ(log[3].value, 3);
    EXPECT_EQ(log[7].value, 1);
    int32_t program = -1;
    e()->GetProgram(&program);
    EXPECT_EQ(program, 1);
    Sent();
    EXPECT_EQ(e()->GetProgramName(1, name, 64), S_OK); // the current one: no switch
    EXPECT_EQ(Sent(), (Ops {effGetProgramNameIndexed, effGetProgram, effGetProgramName}));
}

TEST_F(Operations, NoProgramsAtAll)
{
    plugin->numPrograms = 0;
    Reload();
    char16_t name[8] = {u'x'};
    EXPECT_EQ(e()->GetProgramName(0, name, 8), S_FALSE);
    EXPECT_EQ(name[0], 0);
}

TEST_F(Operations, ProgramNameIsSentOnlyWhenDifferent)
{
    EXPECT_EQ(e()->SetProgramName(u"Program 0"), S_FALSE);
    EXPECT_EQ(Sent(), Ops {effGetProgramName});
    EXPECT_EQ(e()->SetProgramName(u"Gr\u00FCn \U0001F3B5"), S_OK);
    const auto log = plugin.Entries(ZT_DISPATCH);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].opcode, effSetProgramName);
    EXPECT_STREQ(log[1].text, "Gr\xC3\xBCn \xF0\x9F\x8E\xB5"); // the whole UTF-8 form, nothing cut
    EXPECT_EQ(e()->SetProgramName(nullptr), E_INVALIDARG);
}

TEST_F(Operations, Editor)
{
    ZURECT rect {-1, -1, -1, -1};
    EXPECT_EQ(e()->EditorOpen(0x1234, &rect), S_OK);
    auto log = plugin.Entries(ZT_DISPATCH);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].opcode, effEditOpen);
    EXPECT_EQ(log[0].value, 0x1234);
    EXPECT_EQ(log[1].opcode, effSetEditKnobMode);
    EXPECT_EQ(log[1].value, 2);
    EXPECT_EQ(log[2].opcode, effEditGetRect);
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right, 400);
    EXPECT_EQ(rect.bottom, 300);
    plugin.ClearLog();
    plugin->rect = ERect {50, 300, 10, 20}; // reversed edges are put in order
    EXPECT_EQ(e()->EditorOpen(0x1234, &rect), S_FALSE);
    EXPECT_EQ(Sent(), Ops {effEditGetRect});
    EXPECT_EQ(rect.left, 20);
    EXPECT_EQ(rect.right, 300);
    EXPECT_EQ(rect.top, 10);
    EXPECT_EQ(rect.bottom, 50);
    plugin->rectNull = 1;
    rect = {7, 7, 7, 7};
    e()->EditorOpen(0, &rect);
    EXPECT_EQ(rect.left, 7);
    Sent();
    EXPECT_EQ(e()->EditorIdle(), S_OK);
    EXPECT_EQ(Sent(), Ops {effEditIdle});
    EXPECT_EQ(e()->EditorClose(), S_OK);
    EXPECT_EQ(e()->EditorClose(), S_FALSE);
    EXPECT_EQ(Sent(), Ops {effEditClose});
    EXPECT_EQ(e()->EditorIdle(), S_OK);
    EXPECT_TRUE(Sent().empty());
    e()->EditorOpen(0, nullptr);
    Sent();
    fx.reset();
    EXPECT_EQ(Sent(), (Ops {effEditClose, effClose})); // unload closes the editor first
}

TEST_F(Operations, IdleAndEditorIdleWithIdleWish)
{
    EXPECT_EQ(e()->Idle(), S_OK);
    EXPECT_EQ(Sent(), Ops {effIdle});
    plugin->host(plugin->lastEffect, audioMasterNeedIdle, 0, 0, nullptr, 0.0f);
    EXPECT_TRUE(e()->StateBits() & EFFECT_WANTS_IDLE);
    e()->EditorIdle();
    EXPECT_EQ(Sent(), Ops {effIdle});
}

TEST_F(Operations, ParameterTextsAndProperties)
{
    char16_t text[64];
    EXPECT_EQ(e()->GetParameterName(5, text, 64), S_OK);
    EXPECT_EQ(std::u16string(text), u"Param 5");
    EXPECT_EQ(e()->GetParameterDisplay(5, text, 64), S_OK);
    EXPECT_EQ(std::u16string(text), u"0.500");
    EXPECT_EQ(e()->GetParameterLabel(5, text, 64), S_OK);
    EXPECT_EQ(std::u16string(text), u"dB");
    Sent();
    EXPECT_EQ(e()->GetParameterName(5, nullptr, 64), S_OK);
    EXPECT_TRUE(Sent().empty());

    ZUVSTPARAMPROPS props {};
    EXPECT_EQ(e()->GetParameterProperties(1, &props), E_NOTIMPL);
    plugin->paramPropsAnswer = 1;
    EXPECT_EQ(e()->GetParameterProperties(1, nullptr), S_OK);
    EXPECT_EQ(Sent(), (Ops {effGetParameterProperties, effGetParameterProperties}));
    VstParameterProperties& p = plugin->paramProps;
    std::memset(p.label, 'L', sizeof(p.label));          // no terminator anywhere
    std::memset(p.shortLabel, 'S', sizeof(p.shortLabel)); // nor here
    p.stepFloat = 0.5f;
    p.largeStepInteger = 9;
    p.flags = 0x3F;
    p.minInteger = -3;
    ASSERT_EQ(e()->GetParameterProperties(1, &props), S_OK);
    EXPECT_EQ(std::u16string(props.label), std::u16string(63, u'L'));
    EXPECT_EQ(std::u16string(props.shortLabel), std::u16string(7, u'S'));
    EXPECT_EQ(props.stepFloat, 0.5f);
    EXPECT_EQ(props.largeStepInteger, 9);
    EXPECT_EQ(props.flags, 0x3F);
    EXPECT_EQ(props.minInteger, -3);
}

TEST_F(Operations, StringsAreBoundedCutAndSanitised)
{
    char16_t text[300];
    // A plug-in that fills the whole 260-byte buffer without a terminator: read stops at 260 bytes.
    plugin->fillBytes = 260;
    EXPECT_EQ(e()->GetVendorString(text, 300), S_OK);
    EXPECT_EQ(std::u16string(text), std::u16string(260, u'x'));
    EXPECT_EQ(e()->GetProductString(text, 10), S_OK);
    EXPECT_EQ(std::u16string(text), std::u16string(9, u'x'));
    plugin->fillBytes = 0;
    std::strcpy(plugin->vendor, "Caf\xE9 \xC3\xA9"); // Latin-1 byte, then valid UTF-8
    e()->GetVendorString(text, 64);
    EXPECT_EQ(std::u16string(text), u"Caf\uFFFD \u00E9");
    EXPECT_EQ(e()->GetVendorString(nullptr, 64), E_INVALIDARG);
    EXPECT_EQ(e()->GetEffectName(nullptr, 64), E_INVALIDARG);

    // An empty name falls back to the file name without directory and extension.
    plugin->effectName[0] = 0;
    EXPECT_EQ(e()->GetEffectName(text, 64), S_OK);
    EXPECT_EQ(std::u16string(text), u"zt_plugin");
    EXPECT_EQ(e()->GetEffectName(text, 4), S_OK);
    EXPECT_EQ(std::u16string(text), u"zt_");
}

TEST_F(Operations, InformationRecord)
{
    ZUVSTEFFECTINFO info;
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(e()->GetInfo(&info), S_OK);
    EXPECT_EQ(info.uniqueID, 0x5A74506C);
    EXPECT_EQ(info.version, 1200);
    EXPECT_EQ(info.vendorVersion, 4321);
    EXPECT_EQ(info.numPrograms, 4);
    EXPECT_EQ(info.numParams, 8);
    EXPECT_EQ(info.numInputs, 2);
    EXPECT_EQ(info.numOutputs, 2);
    EXPECT_EQ(info.initialDelay, 0);
    EXPECT_EQ(info.flags, effFlagsCanReplacing);
    EXPECT_EQ(e()->GetInfo(nullptr), E_INVALIDARG);
    int32_t id = 7;
    char16_t name[8] = {u'q'};
    EXPECT_EQ(e()->ShellGetNextPlugin(&id, name, 8), S_FALSE); // not a shell
    EXPECT_EQ(name[0], 0);
    EXPECT_EQ(id, 7);
}

TEST_F(Operations, MasterHandling)
{
    RecordingMaster master;
    EXPECT_EQ(e()->SetMaster(&master), S_OK);
    EXPECT_EQ(master.refs, 2);
    EXPECT_EQ(e()->SetMaster(nullptr), S_FALSE);
    EXPECT_EQ(master.refs, 1);
    RecordingMaster stranger;
    stranger.offersMaster = false;
    EXPECT_EQ(e()->SetMaster(&stranger), E_NOINTERFACE);
    EXPECT_EQ(stranger.refs, 1);
    e()->SetMaster(&master);
    fx.reset();
    EXPECT_EQ(master.refs, 1); // released by the unload
}

TEST_F(Operations, Reserved)
{
    EXPECT_EQ(e()->Reserved(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), E_NOTIMPL);
    EXPECT_TRUE(Sent().empty());
}
