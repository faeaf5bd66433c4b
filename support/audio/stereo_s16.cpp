#include "support/audio/stereo_s16.h"

#include "zuvst/support.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zuvst::audio {

// Each frame the SIMD loop cannot take goes through the kernels, which define the results.
namespace {
void SplitTail(float* l, float* r, const void* src, int32_t from, int32_t frames)
{
    const auto k = ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE_FLOAT32, ZUSAMPLETYPE_PCM16);
    const auto* s = static_cast<const int16_t*>(src) + 2 * from;
    k(l + from, 1, 0, s, 2, 0, frames - from);
    k(r + from, 1, 0, s, 2, 1, frames - from);
}
void JoinTail(void* dst, const float* l, const float* r, int32_t from, int32_t frames)
{
    const auto k = ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE_PCM16, ZUSAMPLETYPE_FLOAT32);
    auto* d = static_cast<int16_t*>(dst) + 2 * from;
    k(d, 2, 0, l + from, 1, 0, frames - from);
    k(d, 2, 1, r + from, 1, 0, frames - from);
}
} // namespace

void SplitS16ToFloat(float* left, float* right, const void* src, int32_t frames)
{
    int32_t f = 0;
#if defined(__SSE2__)
    // A 16-bit sample times 2^-15 is exact in single precision, as in the kernel's double arithmetic.
    const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
    const auto* s = static_cast<const uint8_t*>(src);
    for (; f + 4 <= frames; f += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + size_t(f) * 4));
        const __m128 a = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16)), scale);
        const __m128 b = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)), scale);
        _mm_storeu_ps(left + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(right + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
#endif
    if (f < frames) SplitTail(left, right, src, f, frames);
}

void JoinFloatToS16(void* dst, const float* left, const float* right, int32_t frames)
{
    int32_t f = 0;
#if defined(__SSE2__)
    // The kernel's rules in single precision: exact scale and bounds, NaN to 0, ties to even.
    const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
    const auto convert = [&](const float* p) {
        __m128 v = _mm_mul_ps(_mm_loadu_ps(p), scale);
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, low), high));
    };
    auto* d = static_cast<uint8_t*>(dst);
    for (; f + 4 <= frames; f += 4) {
        const __m128i l = convert(left + f), r = convert(right + f);
        const __m128i frames01 = _mm_unpacklo_epi32(l, r), frames23 = _mm_unpackhi_epi32(l, r);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + size_t(f) * 4), _mm_packs_epi32(frames01, frames23));
    }
#endif
    if (f < frames) JoinTail(dst, left, right, f, frames);
}

} // namespace zuvst::audio
