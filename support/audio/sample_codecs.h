// How each sample type is stored, and the exact conversions between them.
#ifndef ZUVST_SUPPORT_SAMPLE_CODECS_H
#define ZUVST_SUPPORT_SAMPLE_CODECS_H

#include <cstdint>
#include <cstring>

// Internal linkage: each instruction-set build of the kernels gets its own copy of these inline helpers,
// so that the linker never mixes code compiled for different processors.
namespace zuvst::audio {
namespace {

template <int T>
struct Codec;

// Integer types: Read gives the signed sample, Write stores one (already in range for the type).
template <>
struct Codec<16> {
    static constexpr int kBytes = 1, kBits = 8;
    static int32_t Read(const uint8_t* p) { return int32_t(p[0]) - 128; }
    static void Write(uint8_t* p, int32_t v) { p[0] = uint8_t(v + 128); }
};
template <>
struct Codec<49> {
    static constexpr int kBytes = 1, kBits = 8;
    static int32_t Read(const uint8_t* p) { return int8_t(p[0]); }
    static void Write(uint8_t* p, int32_t v) { p[0] = uint8_t(v); }
};
template <>
struct Codec<17> {
    static constexpr int kBytes = 2, kBits = 16;
    static int32_t Read(const uint8_t* p)
    {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    static void Write(uint8_t* p, int32_t v)
    {
        const int16_t s = int16_t(v);
        std::memcpy(p, &s, 2);
    }
};
template <>
struct Codec<64> {
    static constexpr int kBytes = 2, kBits = 16;
    static int32_t Read(const uint8_t* p) { return int16_t(uint16_t(p[0] << 8 | p[1])); }
    static void Write(uint8_t* p, int32_t v)
    {
        p[0] = uint8_t(uint32_t(v) >> 8);
        p[1] = uint8_t(v);
    }
};
template <>
struct Codec<18> {
    static constexpr int kBytes = 3, kBits = 24;
    static int32_t Read(const uint8_t* p) { return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8; }
    static void Write(uint8_t* p, int32_t v)
    {
        p[0] = uint8_t(v);
        p[1] = uint8_t(uint32_t(v) >> 8);
        p[2] = uint8_t(uint32_t(v) >> 16);
    }
};
template <>
struct Codec<65> {
    static constexpr int kBytes = 3, kBits = 24;
    static int32_t Read(const uint8_t* p) { return int32_t(uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24) >> 8; }
    static void Write(uint8_t* p, int32_t v)
    {
        p[2] = uint8_t(v);
        p[1] = uint8_t(uint32_t(v) >> 8);
        p[0] = uint8_t(uint32_t(v) >> 16);
    }
};
template <>
struct Codec<19> {
    static constexpr int kBytes = 4, kBits = 32;
    static int32_t Read(const uint8_t* p)
    {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    static void Write(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }
};
template <>
struct Codec<66> {
    static constexpr int kBytes = 4, kBits = 32;
    static int32_t Read(const uint8_t* p) { return int32_t(__builtin_bswap32(uint32_t(Codec<19>::Read(p)))); }
    static void Write(uint8_t* p, int32_t v) { Codec<19>::Write(p, int32_t(__builtin_bswap32(uint32_t(v)))); }
};
// A 24-bit sample in a 32-bit word; the whole word is the sample, neither masked nor clamped.
template <>
struct Codec<48> : Codec<19> {
    static constexpr int kBits = 24;
};
// A 16-bit sample right-aligned in a 32-bit word.
template <>
struct Codec<128> : Codec<19> {
    static constexpr int kBits = 16;
    static int32_t Read(const uint8_t* p) { return int16_t(uint16_t(Codec<19>::Read(p))); }
};
// A 24-bit sample right-aligned in a 32-bit word: the low 24 bits, sign-extended.
template <>
struct Codec<129> : Codec<19> {
    static constexpr int kBits = 24;
    static int32_t Read(const uint8_t* p) { return int32_t(uint32_t(Codec<19>::Read(p)) << 8) >> 8; }
};

template <>
struct Codec<32> {
    static constexpr int kBytes = 4, kBits = 0;
    static double ReadF(const uint8_t* p)
    {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
};
template <>
struct Codec<33> {
    static constexpr int kBytes = 8, kBits = 0;
    static double ReadF(const uint8_t* p)
    {
        double v;
        std::memcpy(&v, p, 8);
        return v;
    }
};

constexpr bool IsFloat(int t) { return t == 32 || t == 33; }

inline double Pow2(int e)
{
    return e >= 0 ? double(uint64_t(1) << e) : 1.0 / double(uint64_t(1) << -e);
}

// Scale, clamp before rounding (strict tests), round to nearest with ties to even by the 1.5 * 2^52 sum.
// A NaN becomes silence (0).
template <int D>
inline int32_t ClampRound(double v)
{
    constexpr double kLow = -double(int64_t(1) << (Codec<D>::kBits - 1));
    constexpr double kHigh = double((int64_t(1) << (Codec<D>::kBits - 1)) - 1);
    constexpr double kMagic = 6755399441055744.0;
    // One select per statement: the forms the vectorizer turns into compare-and-blend.
    v = v == v ? v : 0.0;
    v = v < kLow ? kLow : v;
    v = v > kHigh ? kHigh : v;
    return int32_t((v + kMagic) - kMagic); // in range after the clamp, so the conversion is exact
}

template <int D, int S>
inline void Convert(uint8_t* d, const uint8_t* s)
{
    if constexpr (D == S) {
        std::memcpy(d, s, Codec<D>::kBytes);
    } else if constexpr (IsFloat(D) && IsFloat(S)) {
        if constexpr (D == 32) {
            const float v = float(Codec<33>::ReadF(s));
            std::memcpy(d, &v, 4);
        } else {
            const double v = Codec<32>::ReadF(s);
            std::memcpy(d, &v, 8);
        }
    } else if constexpr (IsFloat(D)) {
        // The product is exact in double; the one rounding is the store to single precision.
        const double v = double(Codec<S>::Read(s)) * (1.0 / double(int64_t(1) << (Codec<S>::kBits - 1)));
        if constexpr (D == 32) {
            const float f = float(v);
            std::memcpy(d, &f, 4);
        } else {
            std::memcpy(d, &v, 8);
        }
    } else if constexpr (IsFloat(S)) {
        Codec<D>::Write(d, ClampRound<D>(Codec<S>::ReadF(s) * double(int64_t(1) << (Codec<D>::kBits - 1))));
    } else {
        int32_t v = Codec<S>::Read(s);
        if constexpr (S == 48 && (D == 18 || D == 19 || D == 66)) v = v < -8388608 ? -8388608 : (v > 8388607 ? 8388607 : v);
        if constexpr (Codec<D>::kBits >= Codec<S>::kBits) {
            Codec<D>::Write(d, int32_t(uint32_t(v) << (Codec<D>::kBits - Codec<S>::kBits)));
        } else {
            Codec<D>::Write(d, ClampRound<D>(double(v) * Pow2(Codec<D>::kBits - Codec<S>::kBits)));
        }
    }
}

} // namespace
} // namespace zuvst::audio

#endif
