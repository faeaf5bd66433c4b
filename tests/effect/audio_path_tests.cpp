// The audio path against values computed here, independently of the kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "effect/test_support.h"

using namespace zuvst;

namespace {

int Bytes(int type) { return int(ZuAudio_BytesFromSampleType(type)); }

double Bits(int type)
{
    switch (type) {
    case 16: case 49: return 8;
    case 17: case 64: return 16;
    case 18: case 65: case 48: return 24;
    default: return 32;
    }
}

// The value a stored sample stands for.
double Decode(int type, const uint8_t* p)
{
    int64_t s = 0;
    switch (type) {
    case 32: { float f; std::memcpy(&f, p, 4); return f; }
    case 33: { double d; std::memcpy(&d, p, 8); return d; }
    case 16: s = int64_t(p[0]) - 128; break;
    case 49: s = int8_t(p[0]); break;
    case 17: s = int16_t(uint16_t(p[0] | p[1] << 8)); break;
    case 64: s = int16_t(uint16_t(p[1] | p[0] << 8)); break;
    case 18: s = (int64_t(p[0]) | int64_t(p[1]) << 8 | int64_t(p[2]) << 16) - ((p[2] & 0x80) ? (1 << 24) : 0); break;
    case 65: s = (int64_t(p[2]) | int64_t(p[1]) << 8 | int64_t(p[0]) << 16) - ((p[0] & 0x80) ? (1 << 24) : 0); break;
    case 19: case 48: { int32_t v; std::memcpy(&v, p, 4); s = v; break; }
    case 66: s = int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]); break;
    }
    return double(s) / std::ldexp(1.0, int(Bits(type)) - 1);
}

void Encode(int type, double x, uint8_t* p)
{
    if (type == 32) { const float f = float(x); std::memcpy(p, &f, 4); return; }
    if (type == 33) { std::memcpy(p, &x, 8); return; }
    const double full = std::ldexp(1.0, int(Bits(type)) - 1);
    const int64_t s = int64_t(std::nearbyint(std::clamp(x * full, -full, full - 1)));
    const uint64_t u = uint64_t(s);
    switch (type) {
    case 16: p[0] = uint8_t(s + 128); break;
    case 49: p[0] = uint8_t(s); break;
    case 17: p[0] = uint8_t(u); p[1] = uint8_t(u >> 8); break;
    case 64: p[1] = uint8_t(u); p[0] = uint8_t(u >> 8); break;
    case 18: p[0] = uint8_t(u); p[1] = uint8_t(u >> 8); p[2] = uint8_t(u >> 16); break;
    case 65: p[2] = uint8_t(u); p[1] = uint8_t(u >> 8); p[0] = uint8_t(u >> 16); break;
    case 19: case 48: { const int32_t v = int32_t(s); std::memcpy(p, &v, 4); break; }
    case 66: p[0] = uint8_t(u >> 24); p[1] = uint8_t(u >> 16); p[2] = uint8_t(u >> 8); p[3] = uint8_t(u); break;
    }
}

struct Layout {
    const char* name;
    int hostIn, hostOut, plugIn, plugOut;
    bool canMono, nullInput;
};

struct AudioFixture : ::testing::Test {
    TestPlugin plugin;
    std::unique_ptr<EffectHolder> fx;
    void Make(int inputs, int outputs, int32_t flags = vst2::effFlagsCanReplacing, float gainParam = 0.25f)
    {
        fx.reset();
        plugin->numInputs = inputs;
        plugin->numOutputs = outputs;
        plugin->flags = flags;
        plugin->params[0] = gainParam; // gain 2 * 0.25 = 0.5
        fx = std::make_unique<EffectHolder>(plugin.path);
        ASSERT_EQ(fx->status, S_OK);
    }
};

using AudioPath = AudioFixture;

} // namespace

TEST_F(AudioPath, EveryHostTypeAndLayoutAgainstIndependentValues)
{
    const Layout layouts[] = {
        {"mono into 2x2 with mono flag", 1, 1, 2, 2, true, false},
        {"mono into 2x2 without it", 1, 2, 2, 2, false, false},
        {"stereo", 2, 2, 2, 2, false, false},
        {"4 in 4 out against 2x2", 4, 4, 2, 2, false, false},
        {"1 output against 2", 2, 1, 2, 2, false, false},
        {"null input", 2, 2, 2, 2, false, true},
        {"mono into a plug-in without inputs", 1, 2, 0, 2, false, false},
    };
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> dist(-1.1, 1.1);
    const int frames = 37;
    for (int type : {16, 17, 18, 19, 32, 33, 48, 49, 64, 65, 66}) {
        for (const Layout& l : layouts) {
            SCOPED_TRACE(std::string(l.name) + ", type " + std::to_string(type));
            Make(l.plugIn, l.plugOut, vst2::effFlagsCanReplacing | (l.canMono ? vst2::effFlagsCanMono : 0));
            ASSERT_EQ(fx->effect->SetSampleType(type), S_OK);
            const int b = Bytes(type);
            std::vector<uint8_t> in(size_t(frames * l.hostIn * b)), out(size_t(frames * l.hostOut * b), 0xA5);
            for (int i = 0; i < frames * l.hostIn; ++i) Encode(type, dist(rng), &in[size_t(i * b)]);
            ASSERT_EQ(fx->effect->Process(l.nullInput ? nullptr : in.data(), l.hostIn, out.data(), l.hostOut, frames, b), S_OK);
            for (int f = 0; f < frames; ++f)
                for (int o = 0; o < l.hostOut; ++o) {
                    // What reaches plug-in input i, as float.
                    const auto pluginInput = [&](int i) -> double {
                        if (l.nullInput || i >= l.plugIn) return 0.0;
                        const int hostChannel = l.hostIn == 1 ? (i == 0 || (l.canMono && l.plugIn == 2) ? 0 : -1) : i;
                        if (hostChannel < 0 || hostChannel >= l.hostIn) return 0.0;
                        return float(Decode(type, &in[size_t((f * l.hostIn + hostChannel) * b)]));
                    };
                    std::vector<uint8_t> expected(static_cast<size_t>(b), 0);
                    if (o < l.plugOut)
                        Encode(type, double(float(pluginInput(o)) * 0.5f), expected.data());
                    else
                        std::fill(expected.begin(), expected.end(), type == 16 ? 0x80 : 0x00);
                    ASSERT_EQ(0, std::memcmp(expected.data(), &out[size_t((f * l.hostOut + o) * b)], size_t(b)))
                        << "frame " << f << " channel " << o;
                }
        }
    }
}

TEST_F(AudioPath, BufferLifeCycleLeavesNoStaleSamples)
{
    Make(2, 2);
    std::vector<float> loud(2 * 512, 0.75f), out(2 * 512, -9.0f);
    for (int frames : {256, 512, 128}) {
        ASSERT_EQ(fx->effect->Process(loud.data(), 2, out.data(), 2, frames, 4), S_OK);
        for (int i = 0; i < 2 * frames; ++i) ASSERT_EQ(out[size_t(i)], 0.375f);
    }
    // A shorter block with silent input after a longer loud one: nothing of the old block remains.
    ASSERT_EQ(fx->effect->Process(nullptr, 2, out.data(), 2, 100, 4), S_OK);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(out[size_t(i)], 0.0f);
    EXPECT_EQ(out[200], 0.375f); // beyond the block: the host's buffer is not written
}

TEST_F(AudioPath, ChannelCountsOfThePlugin)
{
    for (int channels : {0, 1, 2, 64}) {
        SCOPED_TRACE(channels);
        Make(channels, channels);
        std::vector<float> in(2 * 64, 0.5f), out(2 * 64, -1.0f);
        ASSERT_EQ(fx->effect->Process(in.data(), 2, out.data(), 2, 64, 4), S_OK);
        for (int f = 0; f < 64; ++f) {
            EXPECT_EQ(out[size_t(2 * f)], channels >= 1 ? 0.25f : 0.0f);
            EXPECT_EQ(out[size_t(2 * f + 1)], channels >= 2 ? 0.25f : 0.0f);
        }
    }
    // Channel counts that change after the tables were made get tables of their own.
    Make(2, 2);
    std::vector<float> in(2 * 32, 0.5f), out(2 * 32);
    fx->effect->Process(in.data(), 2, out.data(), 2, 32, 4);
    fx->effect->Descriptor()->numInputs = 64;
    fx->effect->Descriptor()->numOutputs = 64;
    EXPECT_EQ(fx->effect->Process(in.data(), 2, out.data(), 2, 32, 4), S_OK);
    fx->effect->Descriptor()->numInputs = 2;
    fx->effect->Descriptor()->numOutputs = 2;
}

TEST_F(AudioPath, FaultHalfwayDeliversWhatWasWritten)
{
    Make(2, 2);
    plugin->faultKind = ZT_FAULT_NULL_DEREF;
    plugin->faultWhere = ZT_AT_PROCESS;
    std::vector<int16_t> in(2 * 64, 8192), out(2 * 64, 0);
    ASSERT_EQ(fx->effect->SetSampleType(ZUSAMPLETYPE_PCM16), S_OK);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(fx->effect->Process(in.data(), 2, out.data(), 2, 64, 2), S_OK);
        for (int f = 0; f < 64; ++f) {
            EXPECT_EQ(out[size_t(2 * f)], f < 32 ? 4096 : 8192) << f; // processed, then the copied input
            EXPECT_EQ(out[size_t(2 * f + 1)], f < 32 ? 4096 : 8192) << f;
        }
    }
}

TEST_F(AudioPath, RefusedCalls)
{
    Make(2, 2);
    std::vector<float> buf(64, 0.5f), out(64, 7.0f);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, 16, 2), E_INVALIDARG); // bytes per sample
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, nullptr, 2, 16, 4), E_INVALIDARG);
    EXPECT_EQ(fx->effect->Process(buf.data(), -1, out.data(), 2, 16, 4), E_INVALIDARG);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), -2, 16, 4), E_INVALIDARG);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, -1, 4), E_INVALIDARG);
    EXPECT_EQ(fx->effect->SetSampleType(0), S_OK);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, 16, 0), E_INVALIDARG); // no kernels
    EXPECT_EQ(fx->effect->SetSampleType(ZUSAMPLETYPE_PCM24_RA), S_OK);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, 16, 4), E_INVALIDARG); // reported as 0 bytes
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, 8, 0), S_OK); // only 0 passes for it
    EXPECT_EQ(fx->effect->SetSampleType(ZUSAMPLETYPE_FLOAT32), S_OK);
    EXPECT_EQ(fx->effect->Process(buf.data(), 2, out.data(), 2, 0, 4), S_OK);
}
