// The kernels, compiled once per instruction set: each build includes this file with ZU_KERNEL_NS and
// ZU_KERNEL_TABLE naming its namespace and table. All builds run the same arithmetic, so their results
// are bit-identical; only the compiler's choice of instructions differs.
#include "support/audio/kernel_table.h"
#include "support/audio/sample_codecs.h"

#if ZU_KERNEL_SIMD
#include <emmintrin.h>
#endif

namespace zuvst::audio::ZU_KERNEL_NS {

namespace {

#if ZU_KERNEL_SIMD
// Float to the 16-bit and the 32-bit-word integer types, for a contiguous source into a destination of
// one or two channels. Single precision gives the same integers as the general double path: the scale
// is a power of two, the bounds are exact (for 32 bits, every float from 2^31 up becomes the largest
// value, as the clamp would make it), and the conversion rounds to nearest with ties to even like the
// 1.5 * 2^52 sum.
template <int D>
void FloatToInt(uint8_t* d, uint32_t dstChannels, const uint8_t* s, int32_t frames)
{
    constexpr int kBits = Codec<D>::kBits;
    const __m128 scale = _mm_set1_ps(float(int64_t(1) << (kBits - 1)));
    const __m128 low = _mm_set1_ps(-float(int64_t(1) << (kBits - 1)));
    const __m128 high = _mm_set1_ps(kBits == 32 ? 0.0f : float((int64_t(1) << (kBits - 1)) - 1));
    const auto convert4 = [&](const uint8_t* p) {
        __m128 v = _mm_mul_ps(_mm_loadu_ps(reinterpret_cast<const float*>(p)), scale);
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v)); // a NaN becomes 0
        v = _mm_max_ps(v, low);
        if constexpr (kBits == 32) {
            const __m128i over = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f)));
            const __m128i r = _mm_cvtps_epi32(v);
            return _mm_or_si128(_mm_andnot_si128(over, r), _mm_and_si128(over, _mm_set1_epi32(INT32_MAX)));
        } else {
            return _mm_cvtps_epi32(_mm_min_ps(v, high));
        }
    };
    constexpr size_t kSize = Codec<D>::kBytes;
    int32_t f = 0;
    if (dstChannels == 1) {
        if constexpr (kSize == 2) {
            for (; f + 8 <= frames; f += 8) {
                const __m128i a = convert4(s + size_t(f) * 4), b = convert4(s + size_t(f) * 4 + 16);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + size_t(f) * 2), _mm_packs_epi32(a, b));
            }
        } else {
            for (; f + 4 <= frames; f += 4)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + size_t(f) * 4), convert4(s + size_t(f) * 4));
        }
    } else {
        // Two channels: merge the new samples into every other slot, keeping the other channel. A window
        // starts at this channel's sample and may end one sample into the next frame, so the last frame
        // always goes the scalar way and nothing past the buffer is touched.
        for (; f + 5 <= frames; f += 4) {
            const __m128i v = convert4(s + size_t(f) * 4);
            uint8_t* out = d + size_t(f) * 2 * kSize;
            if constexpr (kSize == 2) {
                const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out));
                const __m128i mine = _mm_and_si128(v, _mm_set1_epi32(0xFFFF));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                                 _mm_or_si128(_mm_and_si128(old, _mm_set1_epi32(int32_t(0xFFFF0000u))), mine));
            } else {
                const __m128i keep = _mm_set_epi32(-1, 0, -1, 0);
                auto* a = reinterpret_cast<__m128i*>(out);
                auto* b = reinterpret_cast<__m128i*>(out + 16);
                const __m128i oldA = _mm_loadu_si128(a), oldB = _mm_loadu_si128(b);
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(a, _mm_or_si128(_mm_and_si128(oldA, keep), _mm_unpacklo_epi32(v, zero)));
                _mm_storeu_si128(b, _mm_or_si128(_mm_and_si128(oldB, keep), _mm_unpackhi_epi32(v, zero)));
            }
        }
    }
    for (; f < frames; ++f) Convert<D, 32>(d + size_t(f) * dstChannels * kSize, s + size_t(f) * 4);
}
#endif

template <int D, int S, uint32_t DS, uint32_t SS>
void Loop(uint8_t* d, const uint8_t* s, size_t dstep, size_t sstep, int32_t frames)
{
    // Constant strides for the common layouts let the compiler vectorize the loop.
    const size_t ds = DS ? DS * Codec<D>::kBytes : dstep;
    const size_t ss = SS ? SS * Codec<S>::kBytes : sstep;
    for (int32_t f = 0; f < frames; ++f) Convert<D, S>(d + size_t(f) * ds, s + size_t(f) * ss);
}

template <int D, int S>
void Kernel(void* dst, uint32_t dstChannels, uint32_t dstChannel, const void* src, uint32_t srcChannels,
            uint32_t srcChannel, int32_t frames)
{
    if (frames <= 0) return;
    auto* d = static_cast<uint8_t*>(dst) + size_t(dstChannel) * Codec<D>::kBytes;
    const auto* s = static_cast<const uint8_t*>(src) + size_t(srcChannel) * Codec<S>::kBytes;
    if constexpr (D == S) {
        if (static_cast<const void*>(d) == static_cast<const void*>(s) && dstChannels > srcChannels) return;
    }
    const size_t dstep = size_t(dstChannels) * Codec<D>::kBytes, sstep = size_t(srcChannels) * Codec<S>::kBytes;
#if ZU_KERNEL_SIMD
    if constexpr (S == 32 && (D == 17 || D == 19 || D == 48 || D == 128 || D == 129)) {
        if (srcChannels == 1 && (dstChannels == 1 || dstChannels == 2)) {
            // The two-channel merge writes the other channel's samples back unchanged: one thread per
            // destination buffer, as for every kernel.
            FloatToInt<D>(d, dstChannels, s, frames);
            return;
        }
    }
#endif
    if (dstChannels == 1 && srcChannels == 1)
        Loop<D, S, 1, 1>(d, s, dstep, sstep, frames);
    else if (dstChannels == 1 && srcChannels == 2)
        Loop<D, S, 1, 2>(d, s, dstep, sstep, frames);
    else if (dstChannels == 2 && srcChannels == 1)
        Loop<D, S, 2, 1>(d, s, dstep, sstep, frames);
    else
        Loop<D, S, 0, 0>(d, s, dstep, sstep, frames);
}

// Samples are moved as bytes, so that no buffer needs alignment.
template <typename T>
void Split(void* left, void* right, const void* src, int32_t frames)
{
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const auto* s = static_cast<const uint8_t*>(src);
    for (int32_t f = 0; f < frames; ++f) {
        std::memcpy(l + size_t(f) * sizeof(T), s + size_t(2 * f) * sizeof(T), sizeof(T));
        std::memcpy(r + size_t(f) * sizeof(T), s + size_t(2 * f + 1) * sizeof(T), sizeof(T));
    }
}

template <typename T>
void Join(void* dst, const void* left, const void* right, int32_t frames)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* l = static_cast<const uint8_t*>(left);
    const auto* r = static_cast<const uint8_t*>(right);
    for (int32_t f = 0; f < frames; ++f) {
        std::memcpy(d + size_t(2 * f) * sizeof(T), l + size_t(f) * sizeof(T), sizeof(T));
        std::memcpy(d + size_t(2 * f + 1) * sizeof(T), r + size_t(f) * sizeof(T), sizeof(T));
    }
}

#define ZU_K(d, s) KernelEntry {d, s, &Kernel<d, s>}
#define ZU_ELEVEN(d)                                                                                       \
    ZU_K(d, 16), ZU_K(d, 17), ZU_K(d, 18), ZU_K(d, 19), ZU_K(d, 32), ZU_K(d, 33), ZU_K(d, 48), ZU_K(d, 49), \
        ZU_K(d, 64), ZU_K(d, 65), ZU_K(d, 66)

const KernelEntry kEntries[] = {
    ZU_ELEVEN(16), ZU_ELEVEN(49), ZU_ELEVEN(64), ZU_ELEVEN(65), ZU_ELEVEN(66),
    ZU_ELEVEN(17), ZU_K(17, 128), ZU_K(17, 129),
    ZU_ELEVEN(18), ZU_K(18, 128), ZU_K(18, 129),
    ZU_ELEVEN(32), ZU_K(32, 128), ZU_K(32, 129),
    ZU_ELEVEN(33), ZU_K(33, 128), ZU_K(33, 129),
    ZU_ELEVEN(19), ZU_K(19, 128),
    ZU_ELEVEN(48), ZU_K(48, 128),
    ZU_K(128, 17), ZU_K(128, 18), ZU_K(128, 32),
    ZU_K(129, 17), ZU_K(129, 18), ZU_K(129, 32),
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == kKernelPairs, "the selector holds 137 pairs");

#undef ZU_ELEVEN
#undef ZU_K

} // namespace

const KernelTable& ZU_KERNEL_TABLE()
{
    static const KernelTable table = {
        ZU_KERNEL_NAME,
        kEntries,
        kKernelPairs,
        {nullptr, &Split<uint8_t>, &Split<uint16_t>, nullptr, &Split<uint32_t>, nullptr, nullptr, nullptr,
         &Split<uint64_t>},
        {nullptr, &Join<uint8_t>, &Join<uint16_t>, nullptr, &Join<uint32_t>, nullptr, nullptr, nullptr,
         &Join<uint64_t>},
    };
    return table;
}

} // namespace zuvst::audio::ZU_KERNEL_NS
