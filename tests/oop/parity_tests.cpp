// The same operations on an effect in this process and on one in a server give the same results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "oop/oop_support.h"
#include "platform/text.h"
#include "zuvst/streams.h"
#include "zuvst/support.h"

namespace {

std::string Text(const WCHAR* t) { return zuvst::platform::WideToUtf8String(t); }

std::string Hr(HRESULT hr)
{
    char s[16];
    std::snprintf(s, sizeof(s), "%08X", uint32_t(hr));
    return s;
}

// Every answer of every slot, as lines to compare. Mutating slots run too, so later answers show their effect.
std::vector<std::string> RunOperations(IZuVstEffect* e)
{
    std::vector<std::string> out;
    const auto add = [&](const std::string& what, HRESULT hr, const std::string& value = {}) {
        out.push_back(what + " " + Hr(hr) + " " + value);
    };
    WCHAR text[300];
    text[299] = 0; // the fills below keep this terminator, for a slot that writes nothing
    for (int32_t capacity : {64, 5, 1}) {
        std::fill(std::begin(text), std::end(text) - 1, WCHAR(u'#'));
        add("name/" + std::to_string(capacity), e->GetEffectName(text, capacity), Text(text));
        std::fill(std::begin(text), std::end(text) - 1, WCHAR(u'#'));
        add("vendor", e->GetVendorString(text, capacity), Text(text));
        std::fill(std::begin(text), std::end(text) - 1, WCHAR(u'#'));
        add("product", e->GetProductString(text, capacity), Text(text));
    }
    add("name/null", e->GetEffectName(nullptr, 64));
    ZUVSTEFFECTINFO info {};
    add("info", e->GetInfo(&info),
        std::to_string(info.uniqueID) + " " + std::to_string(info.version) + " " + std::to_string(info.vendorVersion) +
            " " + std::to_string(info.numPrograms) + " " + std::to_string(info.numParams) + " " +
            std::to_string(info.numInputs) + " " + std::to_string(info.numOutputs) + " " +
            std::to_string(info.initialDelay) + " " + std::to_string(info.flags));
    add("info/null", e->GetInfo(nullptr));
    const int32_t params = std::min(info.numParams, 12);
    for (int32_t i = -1; i <= params; ++i) {
        const std::string at = "/" + std::to_string(i);
        add("pname" + at, e->GetParameterName(i, text, 64), Text(text));
        add("pdisplay" + at, e->GetParameterDisplay(i, text, 64), Text(text));
        add("plabel" + at, e->GetParameterLabel(i, text, 64), Text(text));
        float value = -7.0f;
        add("param" + at, e->GetParameter(i, &value), std::to_string(value));
        ZUVSTPARAMPROPS props {};
        add("props" + at, e->GetParameterProperties(i, &props), Text(props.label) + " " + std::to_string(props.flags));
    }
    add("param/null", e->GetParameter(0, nullptr));
    if (params > 0) {
        add("set", e->SetParameter(0, 0.25f));
        float value = 0;
        add("param0", e->GetParameter(0, &value), std::to_string(value));
        add("display0", e->GetParameterDisplay(0, text, 64), Text(text));
    }
    int32_t program = -1;
    add("program", e->GetProgram(&program), std::to_string(program));
    if (info.numPrograms > 2) {
        add("setprogram", e->SetProgram(2));
        add("program", e->GetProgram(&program), std::to_string(program));
        add("rename", e->SetProgramName(u"Renamed \u00e9"));
    }
    for (int32_t i = 0; i < std::min(info.numPrograms, 5); ++i)
        add("pgname/" + std::to_string(i), e->GetProgramName(i, text, 64), Text(text));
    int32_t samples = -1;
    add("delay", e->GetInitialDelay(&samples), std::to_string(samples));
    add("tail", e->GetTailSize(&samples), std::to_string(samples));
    add("rate", e->SetSampleRate(48000.0));
    add("block", e->SetBlockSize(256));
    add("type", e->SetSampleType(ZUSAMPLETYPE_PCM16));
    add("start", e->Start(FALSE));
    add("idle", e->Idle());
    add("stop", e->Stop(FALSE));
    add("reserved", e->Reserved(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21));
    int32_t id = -1;
    add("shell", e->ShellGetNextPlugin(&id, text, 64), std::to_string(id));
    add("editoridle", e->EditorIdle());
    add("editorclose", e->EditorClose());
    return out;
}

IZuVstEffect* InProcessEffect(const std::u16string& path, int32_t uniqueID = 0)
{
    IZuVstEffectFactory* factory = nullptr;
    if (FAILED(CreateEffectFactory(IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory)))) return nullptr;
    IZuVstEffect* effect = nullptr;
    factory->CreateEffect(path.c_str(), uniqueID, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    factory->Release();
    return effect;
}

struct Pair {
    explicit Pair(const std::u16string& path) : local(InProcessEffect(path)), remote(server.Create(path)) {}
    ~Pair()
    {
        if (local) local->Release();
        if (remote) remote->Release();
    }
    ServerFactory server;
    IZuVstEffect* local;
    IZuVstEffect* remote;
};

IStream* MemoryStream()
{
    IStream* s = nullptr;
    ZuCreateMemoryStream(nullptr, 0, &s);
    return s;
}

std::vector<uint8_t> Bytes(IStream* s)
{
    const void* data = nullptr;
    uint64_t size = 0;
    ZuMemoryStream_GetBytes(s, &data, &size);
    return std::vector<uint8_t>(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
}

std::u16string Real(const char* file) { return zuvst::platform::Utf8ToWideString((std::string("/usr/lib/vst/") + file).c_str()); }

} // namespace

class Parity : public ::testing::TestWithParam<const char*> {};

TEST_P(Parity, EveryOperationAnswersAlike)
{
    TestPlugin plugin; // keeps the shared control block of the test plug-in in a known state
    const std::u16string path = std::string(GetParam()) == "zt" ? plugin.path : Real(GetParam());
    Pair pair(path);
    ASSERT_TRUE(pair.local && pair.remote);
    EXPECT_EQ(RunOperations(pair.local), RunOperations(pair.remote));
}

TEST_P(Parity, ProcessGivesTheSameSamples)
{
    TestPlugin plugin;
    const bool ours = std::string(GetParam()) == "zt";
    const std::u16string path = ours ? plugin.path : Real(GetParam());
    Pair pair(path);
    ASSERT_TRUE(pair.local && pair.remote);
    struct Layout {
        ZUSAMPLETYPE type;
        int32_t inChannels, outChannels, frames;
    };
    const Layout layouts[] = {{ZUSAMPLETYPE_FLOAT32, 2, 2, 64}, {ZUSAMPLETYPE_PCM16, 2, 2, 512},
                              {ZUSAMPLETYPE_PCM24, 1, 2, 128}, {ZUSAMPLETYPE_FLOAT64, 2, 1, 300},
                              {ZUSAMPLETYPE_PCM32_BE, 3, 4, 1000}, {ZUSAMPLETYPE_FLOAT32, 2, 2, 4096}};
    for (IZuVstEffect* e : {pair.local, pair.remote}) {
        e->SetSampleRate(44100.0);
        e->SetBlockSize(4096);
        if (ours) e->SetParameter(0, 0.3f);
        e->Start(FALSE);
    }
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.type);
        const int32_t bytes = int32_t(ZuAudio_BytesFromSampleType(l.type));
        std::vector<float> source(size_t(l.inChannels * l.frames));
        for (size_t i = 0; i < source.size(); ++i) source[i] = 0.5f * std::sin(0.01f * float(i));
        std::vector<uint8_t> input(source.size() * size_t(bytes));
        ZuAudio_GetCopyChannelsFunction2(l.type, ZUSAMPLETYPE_FLOAT32)(input.data(), 1, 0, source.data(), 1, 0,
                                                                        int32_t(source.size()));
        std::vector<uint8_t> outLocal(size_t(l.outChannels * l.frames * bytes), 0xAA), outRemote = outLocal;
        for (IZuVstEffect* e : {pair.local, pair.remote}) ASSERT_EQ(e->SetSampleType(l.type), S_OK);
        for (int block = 0; block < 3; ++block) { // reverbs differ only once their state has filled
            EXPECT_EQ(pair.local->Process(input.data(), l.inChannels, outLocal.data(), l.outChannels, l.frames, bytes), S_OK);
            EXPECT_EQ(pair.remote->Process(input.data(), l.inChannels, outRemote.data(), l.outChannels, l.frames, bytes),
                      S_OK);
            ASSERT_EQ(outLocal, outRemote) << "block " << block;
        }
    }
    // Refused blocks are refused alike and leave the output alone.
    std::vector<uint8_t> out(64, 0x55);
    for (IZuVstEffect* e : {pair.local, pair.remote}) {
        EXPECT_EQ(e->Process(out.data(), 2, out.data(), 2, 4, 3), E_INVALIDARG);
        EXPECT_EQ(e->Process(nullptr, 2, nullptr, 2, 4, 4), E_INVALIDARG);
        EXPECT_EQ(e->Process(nullptr, -1, out.data(), 2, 4, 4), E_INVALIDARG);
    }
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0x55));
}

INSTANTIATE_TEST_SUITE_P(Plugins, Parity, ::testing::Values("zt", "MVerb-vst.so", "3BandEQ-vst.so",
                                                            "lsp-plugins/comp-delay-stereo.so"));

TEST(Presets, TravelThroughStreamsThatLiveInTheHost)
{
    for (const char* file : {"MVerb-vst.so", "lsp-plugins/comp-delay-stereo.so"}) {
        SCOPED_TRACE(file);
        Pair pair(Real(file));
        ASSERT_TRUE(pair.local && pair.remote);
        for (IZuVstEffect* e : {pair.local, pair.remote}) e->SetParameter(1, 0.625f);
        IStream* saved[2] = {MemoryStream(), MemoryStream()};
        uint32_t written[2] = {};
        EXPECT_EQ(pair.local->SaveBank(saved[0], &written[0]), S_OK);
        EXPECT_EQ(pair.remote->SaveBank(saved[1], &written[1]), S_OK);
        EXPECT_EQ(written[0], written[1]);
        std::vector<uint8_t> bytes[2];
        for (int i = 0; i < 2; ++i) bytes[i] = Bytes(saved[i]);
        EXPECT_EQ(bytes[0].size(), written[0]);
        EXPECT_EQ(bytes[0], bytes[1]);

        // Fresh effects, one here and one in a server, load the bank from the host's stream alike.
        IZuVstEffect* fresh[2] = {InProcessEffect(Real(file)), pair.server.Create(Real(file))};
        ASSERT_TRUE(fresh[0] && fresh[1]);
        std::vector<float> values[2];
        for (int i = 0; i < 2; ++i) {
            saved[1]->Seek(0, ZU_STREAM_SEEK_SET, nullptr);
            EXPECT_TRUE(SUCCEEDED(fresh[i]->LoadBank(saved[1], 0)));
            ZUVSTEFFECTINFO info {};
            fresh[i]->GetInfo(&info);
            for (int32_t p = 0; p < info.numParams; ++p) {
                float v = -1;
                fresh[i]->GetParameter(p, &v);
                values[i].push_back(v);
            }
        }
        EXPECT_EQ(values[0], values[1]);
        if (std::string(file) == "MVerb-vst.so") {
            EXPECT_FLOAT_EQ(values[1][1], 0.625f);
        }
        // And a program saved in the server comes back into the other effect there.
        IStream* program = MemoryStream();
        uint32_t size = 0;
        EXPECT_EQ(fresh[1]->SaveProgram(program, &size), S_OK);
        EXPECT_EQ(Bytes(program).size(), size);
        program->Seek(0, ZU_STREAM_SEEK_SET, nullptr);
        EXPECT_EQ(pair.remote->LoadProgram(program), S_OK);
        program->Release();
        for (IZuVstEffect* e : fresh) e->Release();
        for (IStream* s : saved) s->Release();
    }
}

TEST(Probe, InlineAndTimeLimitedAnswerAsInProcess)
{
    TestPlugin plugin;
    IZuVstEffectFactory* local = nullptr;
    ASSERT_EQ(CreateEffectFactory(IID_IZuVstEffectFactory, reinterpret_cast<void**>(&local)), S_OK);
    ServerFactory server;
    ASSERT_EQ(server.status, S_OK);
    // A probe's effect ends with the probe, and with it the server, unless the host holds a lock.
    ASSERT_EQ(server->LockServer(TRUE), S_OK);
    const auto probe = [](IZuVstEffectFactory* f, const std::u16string& path, uint32_t limit) {
        WCHAR name[64] = {}, vendor[64] = {}, product[64] = {};
        ZUVSTEFFECTINFO info {};
        const HRESULT hr = f->ProbeEffect(path.c_str(), 0, name, vendor, product, &info, limit);
        return Hr(hr) + " " + Text(name) + "|" + Text(vendor) + "|" + Text(product) + "|" + std::to_string(info.uniqueID) +
               " " + std::to_string(info.numParams);
    };
    for (const std::u16string& path : {plugin.path, Real("MVerb-vst.so"), std::u16string(u"/no/such/plugin.so")})
        for (uint32_t limit : {0u, 5000u}) EXPECT_EQ(probe(local, path, limit), probe(server.factory, path, limit));
    local->Release();
    // A plug-in that hangs while it loads is given up at the limit; the server goes on serving.
    const std::u16string hang = PluginPath("zt_init_hang");
    EXPECT_EQ(probe(server.factory, hang, 200).substr(0, 8), "8004E00C");
    // The server still answers. When the probe was given up inside the library's initialisation, the
    // dynamic loader stays held by that thread and later loads say so instead of hanging.
    const std::string after = probe(server.factory, plugin.path, 0).substr(0, 8);
    EXPECT_TRUE(after == "00000000" || after == "8007046B") << after;
    if (after == "8007046B") {
        // Such a server has withdrawn its class object: the next factory comes from a fresh server.
        RecordProperty("loaderHeld", 1);
        ServerFactory fresh;
        EXPECT_EQ(fresh.status, S_OK);
        EXPECT_NE(fresh.pid, server.pid);
        EXPECT_EQ(probe(fresh.factory, plugin.path, 0).substr(0, 8), "00000000");
    }
    EXPECT_EQ(server->LockServer(FALSE), S_OK);
}
