#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "support/audio/kernel_table.h"
#include "support/audio/stereo_s16.h"
#include "zuvst/support.h"

using namespace zuvst::audio;
using Bytes = std::vector<uint8_t>;

namespace {

const int kTypes[] = {16, 17, 18, 19, 32, 33, 48, 49, 64, 65, 66, 128, 129};

// The bytes of a list of samples as this machine stores them.
template <typename T>
Bytes Pack(std::initializer_list<T> v)
{
    Bytes b(v.size() * sizeof(T));
    std::memcpy(b.data(), std::data(v), b.size());
    return b;
}
Bytes F32(std::initializer_list<float> v) { return Pack(v); }
Bytes F64(std::initializer_list<double> v) { return Pack(v); }
Bytes I32(std::initializer_list<int32_t> v) { return Pack(v); }
Bytes I16(std::initializer_list<int16_t> v) { return Pack(v); }

int Size(int type) { return type == 128 || type == 129 ? 4 : int(ZuAudio_BytesFromSampleType(type)); }

Bytes Convert(int dst, int src, const Bytes& in)
{
    const auto kernel = ZuAudio_GetCopyChannelsFunction2(dst, src);
    EXPECT_NE(kernel, nullptr) << dst << " <- " << src;
    const int frames = int(in.size()) / Size(src);
    Bytes out(size_t(frames) * Size(dst), 0xEE);
    if (kernel) kernel(out.data(), 1, 0, in.data(), 1, 0, frames);
    return out;
}

} // namespace

TEST(AudioKernels, BoundaryTable)
{
    const double inf = INFINITY;
    struct Row {
        int dst, src;
        Bytes in, expected;
    } rows[] = {
        // Float to 16-bit: clamp before rounding, ties to even.
        {17, 32, F32({1.0f, -1.0f, 0.5f, 0.5f / 32768, 1.5f / 32768, 2.5f / 32768, -0.5f / 32768, 2.0f, -3.0f}),
         I16({32767, -32768, 16384, 0, 2, 2, 0, 32767, -32768})},
        {16, 32, F32({1.0f, -1.0f, 0.0f, 7.0f, -7.0f}), Bytes {0xFF, 0x00, 0x80, 0xFF, 0x00}},
        {49, 32, F32({1.0f, -1.0f, 0.0f}), Bytes {0x7F, 0x80, 0x00}},
        {18, 32, F32({1.0f, -1.0f}), Bytes {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80}},
        {65, 32, F32({1.0f}), Bytes {0x7F, 0xFF, 0xFF}},
        {48, 32, F32({1.0f, -1.0f}), I32({8388607, -8388608})},
        {19, 32, F32({1.0f, -1.0f, 0.0f}), I32({2147483647, INT32_MIN, 0})},
        {66, 32, F32({1.0f}), Bytes {0x7F, 0xFF, 0xFF, 0xFF}},
        {64, 32, F32({-1.0f}), Bytes {0x80, 0x00}},
        {128, 32, F32({-1.0f, 1.0f}), I32({-32768, 32767})},
        {129, 32, F32({-1.0f, 1.0f}), I32({-8388608, 8388607})},
        {17, 32, F32({NAN, -NAN}), I16({0, 0})},                 // a NaN becomes silence
        {16, 32, F32({NAN}), Bytes {0x80}},
        {33, 32, F32({0.1f, -inf}), F64({double(0.1f), -inf})}, // widened exactly
        // To float.
        {32, 16, Bytes {0x00, 0x80, 0xFF}, F32({-1.0f, 0.0f, 0.9921875f})},
        {32, 17, I16({-32768, 32767}), F32({-1.0f, 0.999969482421875f})},
        {32, 18, Bytes {0xFF, 0xFF, 0x7F}, F32({0.99999988079071044921875f})},
        {32, 19, I32({2147483647, INT32_MIN}), F32({1.0f, -1.0f})},
        {32, 48, I32({8388608, -16777216}), F32({1.0f, -2.0f})}, // the whole word, no clamp
        {32, 64, Bytes {0x80, 0x00, 0x40, 0x00}, F32({-1.0f, 0.5f})},
        {32, 65, Bytes {0x80, 0x00, 0x00}, F32({-1.0f})},
        {32, 66, Bytes {0x40, 0x00, 0x00, 0x00}, F32({0.5f})},
        {32, 128, I32({0x7FFF0000 | 0x8000}), F32({-1.0f})},      // the low 16 bits only
        {32, 129, I32({int32_t(0xAB800000u)}), F32({-1.0f})},     // the low 24 bits only
        {32, 33, F64({1e300, -1e300, 0.5}), F32({INFINITY, -INFINITY, 0.5f})},
        {33, 17, I16({-32768, 16384}), F64({-1.0, 0.5})},
        // Integer to integer.
        {17, 16, Bytes {0x00, 0xFF}, I16({-32768, 127 << 8})},
        {16, 49, Bytes {0x80, 0x7F}, Bytes {0x00, 0xFF}},
        {17, 19, I32({0x00018000, 0x00028000, 2147483647}), I16({2, 2, 32767})}, // ties to even
        {19, 48, I32({16777216, -16777216}), I32({8388607 << 8, INT32_MIN})},    // clamped first
        {65, 48, I32({0x01234567}), Bytes {0x23, 0x45, 0x67}},                   // low 24 bits as they stand
        {18, 48, I32({0x01234567}), Bytes {0xFF, 0xFF, 0x7F}},
        {64, 17, I16({0x1234}), Bytes {0x12, 0x34}},
        {48, 128, I32({-1}), I32({-256})},
        {129, 17, I16({-2}), I32({-512})},
        {17, 129, I32({0x00FFFF80}), I16({0})}, // -128 / 256 = -0.5 rounds to 0
    };
    for (const Row& r : rows) EXPECT_EQ(Convert(r.dst, r.src, r.in), r.expected) << r.dst << " <- " << r.src;
}

TEST(AudioKernels, SelectorHoldsExactlyThePairsOfTheTable)
{
    std::set<std::pair<int, int>> expected;
    const int eleven[] = {16, 17, 18, 19, 32, 33, 48, 49, 64, 65, 66};
    for (int d : {16, 49, 64, 65, 66, 17, 18, 32, 33, 19, 48})
        for (int s : eleven) expected.insert({d, s});
    for (int d : {17, 18, 32, 33}) expected.insert({d, 128}), expected.insert({d, 129});
    for (int d : {19, 48}) expected.insert({d, 128});
    for (int d : {128, 129})
        for (int s : {17, 18, 32}) expected.insert({d, s});
    ASSERT_EQ(expected.size(), 137u);
    std::vector<int> candidates(std::begin(kTypes), std::end(kTypes));
    candidates.insert(candidates.end(), {0, 1, 20, 130, -1});
    for (int d : candidates)
        for (int s : candidates)
            EXPECT_EQ(ZuAudio_GetCopyChannelsFunction2(d, s) != nullptr, expected.count({d, s}) == 1) << d << "," << s;
}

// Every 8- and 16-bit input through each kernel that reads it, against values computed here.
TEST(AudioKernels, ExhaustiveSmallInputs)
{
    for (int src : {16, 49, 17, 64}) {
        const int bytes = Size(src), count = bytes == 1 ? 256 : 65536;
        Bytes in(size_t(count) * bytes);
        for (int i = 0; i < count; ++i) std::memcpy(&in[size_t(i) * bytes], &i, bytes);
        const auto value = [&](int i) -> int32_t {
            const uint8_t* p = &in[size_t(i) * bytes];
            switch (src) {
            case 16: return int32_t(p[0]) - 128;
            case 49: return int8_t(p[0]);
            case 17: return int16_t(p[0] | p[1] << 8);
            default: return int16_t(p[0] << 8 | p[1]);
            }
        };
        const double scale = bytes == 1 ? 128.0 : 32768.0;
        const Bytes f = Convert(32, src, in), d = Convert(33, src, in), w = Convert(19, src, in);
        for (int i = 0; i < count; ++i) {
            float got;
            double gotD;
            int32_t gotW;
            std::memcpy(&got, &f[size_t(i) * 4], 4);
            std::memcpy(&gotD, &d[size_t(i) * 8], 8);
            std::memcpy(&gotW, &w[size_t(i) * 4], 4);
            ASSERT_EQ(got, float(value(i) / scale)) << src << " " << i;
            ASSERT_EQ(gotD, value(i) / scale);
            ASSERT_EQ(int64_t(gotW), int64_t(value(i)) * (int64_t(1) << (32 - 8 * bytes)));
        }
        // And back: float to the same type gives the input again.
        EXPECT_EQ(Convert(src, 32, f), in) << src;
    }
}

TEST(AudioKernels, FloatToIntegerAgainstIndependentRounding)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.2f, 1.2f);
    std::vector<float> x(20000);
    for (float& v : x) v = dist(rng);
    for (int i = 0; i < 200; ++i) x[size_t(i)] = (float(i) - 100.0f + 0.5f) / 32768.0f; // halfway values
    Bytes in(x.size() * 4);
    std::memcpy(in.data(), x.data(), in.size());
    for (int dst : {16, 17, 18, 19, 48}) {
        const int bits = dst == 16 ? 8 : dst == 17 ? 16 : dst == 19 ? 32 : 24;
        const double lo = -std::ldexp(1.0, bits - 1), hi = std::ldexp(1.0, bits - 1) - 1;
        const Bytes out = Convert(dst, 32, in);
        for (size_t i = 0; i < x.size(); ++i) {
            const int64_t expected = int64_t(std::nearbyint(std::clamp(double(x[i]) * -lo, lo, hi)));
            int64_t got = 0;
            const uint8_t* p = &out[i * size_t(Size(dst))];
            if (dst == 16) got = int64_t(p[0]) - 128;
            if (dst == 17) got = int16_t(p[0] | p[1] << 8);
            if (dst == 18) got = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
            if (dst == 19 || dst == 48) {
                int32_t v;
                std::memcpy(&v, p, 4);
                got = v;
            }
            ASSERT_EQ(got, expected) << dst << " x=" << x[i];
        }
    }
}

TEST(AudioKernels, ChannelAddressingAndNoOps)
{
    const auto k = ZuAudio_GetCopyChannelsFunction2(17, 17);
    const Bytes in = I16({1, 2, 3, 4, 5, 6, 7, 8, 9});
    Bytes out(6, 0xEE);
    k(out.data(), 1, 0, in.data(), 3, 2, 3); // the third channel of each frame
    EXPECT_EQ(out, I16({3, 6, 9}));
    k(out.data(), 1, 0, in.data(), 3, 2, 0);
    k(out.data(), 1, 0, in.data(), 3, 2, -4);
    EXPECT_EQ(out, I16({3, 6, 9}));
    // The same-type kernel on one address with more destination channels writes nothing.
    Bytes buf = F32({1, 2, 3, 4});
    ZuAudio_GetCopyChannelsFunction2(32, 32)(buf.data(), 2, 0, buf.data(), 1, 0, 2);
    EXPECT_EQ(buf, F32({1, 2, 3, 4}));
}

TEST(AudioKernels, EveryBuildGivesTheSameBytes)
{
    std::mt19937 rng(42);
    const KernelTable* builds[] = {&Sse2Kernels(), &Avx2Kernels()};
    const KernelTable& plain = PlainKernels();
    ASSERT_EQ(plain.count, kKernelPairs);
    for (int e = 0; e < plain.count; ++e) {
        const KernelEntry& entry = plain.entries[e];
        const int db = Size(entry.dst), sb = Size(entry.src);
        for (int frames = 0; frames <= 40; ++frames) {
            const uint32_t sch = 1 + rng() % 3, dch = 1 + rng() % 3, sc = rng() % sch, dc = rng() % dch;
            const size_t soff = rng() % 8, doff = rng() % 8; // unaligned buffers
            Bytes src(soff + size_t(frames) * sch * sb + 8);
            for (auto& b : src) b = uint8_t(rng());
            if (entry.src == 32 || entry.src == 33) // mostly ordinary values, some wild bit patterns
                for (int f = 0; f < frames; ++f)
                    if (rng() % 4) {
                        const double v = double(int(rng() % 5000) - 2500) / 2000.0;
                        if (entry.src == 32) {
                            const float fv = float(v);
                            std::memcpy(&src[soff + (size_t(f) * sch + sc) * sb], &fv, 4);
                        } else {
                            std::memcpy(&src[soff + (size_t(f) * sch + sc) * sb], &v, 8);
                        }
                    }
            Bytes expect(doff + size_t(frames) * dch * db + 8, 0x5A);
            entry.kernel(expect.data() + doff, dch, dc, src.data() + soff, sch, sc, frames);
            for (const KernelTable* t : builds) {
                if (t == &Avx2Kernels() && &ActiveKernels() != &Avx2Kernels()) continue; // no AVX2 here
                Bytes got(expect.size(), 0x5A);
                FindKernel(*t, entry.dst, entry.src)(got.data() + doff, dch, dc, src.data() + soff, sch, sc, frames);
                ASSERT_EQ(got, expect) << t->name << " " << entry.dst << "<-" << entry.src << " frames " << frames;
            }
        }
    }
}

TEST(AudioStereo, SplitJoinAndSilence)
{
    for (int type : {16, 17, 19, 32, 33, 48}) {
        const int size = Size(type);
        for (int frames : {0, 1, 7, 8, 9, 33}) {
            for (size_t offset : {0u, 4u, 1u}) {
                std::vector<uint8_t> src(size_t(frames) * 2 * size + 64), l(size_t(frames) * size + 64, 0xEE),
                    r(l.size(), 0xEE), joined(src.size(), 0xEE);
                for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 7 + 3);
                ASSERT_EQ(ZuAudio_DeInterleaveStereo(l.data() + offset, r.data() + offset, src.data() + offset, type, frames), S_OK);
                for (int f = 0; f < frames; ++f) {
                    ASSERT_EQ(0, std::memcmp(&l[offset + size_t(f) * size], &src[offset + size_t(2 * f) * size], size));
                    ASSERT_EQ(0, std::memcmp(&r[offset + size_t(f) * size], &src[offset + size_t(2 * f + 1) * size], size));
                }
                EXPECT_EQ(l[offset + size_t(frames) * size], 0xEE); // nothing past the frames
                ASSERT_EQ(ZuAudio_InterleaveStereo(joined.data() + offset, l.data() + offset, r.data() + offset, type, frames), S_OK);
                EXPECT_EQ(0, std::memcmp(joined.data() + offset, src.data() + offset, size_t(frames) * 2 * size));
            }
        }
    }
    uint8_t buf[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(ZuAudio_DeInterleaveStereo(buf, buf, buf, 18, 1), E_NOTIMPL);
    EXPECT_EQ(ZuAudio_InterleaveStereo(buf, buf, buf, 129, 1), E_NOTIMPL);
    EXPECT_EQ(buf[0], 1);

    const struct {
        int type;
        uint8_t silence;
        int size;
    } mutes[] = {{16, 0x80, 1}, {49, 0, 1}, {17, 0, 2}, {64, 0, 2}, {18, 0, 3}, {65, 0, 3}, {19, 0, 4},
                 {48, 0, 4},    {66, 0, 4}, {32, 0, 4}, {33, 0, 8}};
    for (const auto& m : mutes) {
        std::vector<uint8_t> b(3 * 2 * size_t(m.size), 0x11);
        ASSERT_EQ(ZuAudio_MuteChannel(b.data(), m.type, 2, 1, 3), S_OK);
        for (int f = 0; f < 3; ++f)
            for (int i = 0; i < m.size; ++i) {
                EXPECT_EQ(b[size_t((2 * f) * m.size + i)], 0x11);
                EXPECT_EQ(b[size_t((2 * f + 1) * m.size + i)], m.silence) << m.type;
            }
    }
    for (int bad : {0, 128, 129, 7}) {
        EXPECT_EQ(ZuAudio_MuteChannel(buf, bad, 1, 0, 1), E_FAIL);
        EXPECT_EQ(buf[0], 1);
    }
    EXPECT_EQ(ZuAudio_BytesFromSampleType(128), 0u);
    EXPECT_EQ(ZuAudio_BytesFromSampleType(18), 3u);
    EXPECT_EQ(ZuAudio_BytesFromSampleType(33), 8u);
}

TEST(AudioStereo, FusedSixteenBitPathsEqualTheKernels)
{
    std::mt19937 rng(11);
    const auto toFloat = ZuAudio_GetCopyChannelsFunction2(32, 17), toInt = ZuAudio_GetCopyChannelsFunction2(17, 32);
    for (int frames = 0; frames <= 40; ++frames) {
        std::vector<int16_t> host(size_t(2 * frames) + 1);
        for (auto& v : host) v = int16_t(rng());
        std::vector<float> l(size_t(frames) + 1, -7.0f), r(l), kl(l), kr(l);
        zuvst::audio::SplitS16ToFloat(l.data(), r.data(), host.data(), frames);
        toFloat(kl.data(), 1, 0, host.data(), 2, 0, frames);
        toFloat(kr.data(), 1, 0, host.data(), 2, 1, frames);
        ASSERT_EQ(l, kl) << frames;
        ASSERT_EQ(r, kr) << frames;
        const float specials[] = {NAN, INFINITY, -INFINITY, 1.0f, -1.0f, 1.5f / 32768, 2.5f / 32768, -0.5f / 32768, 3.0f};
        for (int f = 0; f < frames; ++f) {
            l[size_t(f)] = rng() % 3 ? float(int(rng() % 4000) - 2000) / 1700.0f : specials[rng() % 9];
            r[size_t(f)] = rng() % 3 ? float(int(rng() % 4000) - 2000) / 1700.0f : specials[rng() % 9];
        }
        std::vector<int16_t> fused(host.size(), 0x5A5A), kernel(host.size(), 0x5A5A);
        zuvst::audio::JoinFloatToS16(fused.data(), l.data(), r.data(), frames);
        toInt(kernel.data(), 2, 0, l.data(), 1, 0, frames);
        toInt(kernel.data(), 2, 1, r.data(), 1, 0, frames);
        ASSERT_EQ(fused, kernel) << frames;
    }
}
