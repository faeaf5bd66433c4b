// Fused stereo paths between interleaved 16-bit samples and two float channels: the same samples as
// the per-channel kernels, in one pass.
#ifndef ZUVST_SUPPORT_STEREO_S16_H
#define ZUVST_SUPPORT_STEREO_S16_H

#include <cstdint>

namespace zuvst::audio {

void SplitS16ToFloat(float* left, float* right, const void* src, int32_t frames);
void JoinFloatToS16(void* dst, const float* left, const float* right, int32_t frames);

} // namespace zuvst::audio

#endif
