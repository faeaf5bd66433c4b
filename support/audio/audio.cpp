// The exported conversion routines: the kernel selector, sizes, stereo split and join, and silence.
#include <cstring>

#include "support/audio/kernel_table.h"
#include "support/kernel/cpu_features.h"

namespace zuvst::audio {

ZUCOPYCHANNELSPROC FindKernel(const KernelTable& table, int dst, int src)
{
    for (int i = 0; i < table.count; ++i)
        if (table.entries[i].dst == dst && table.entries[i].src == src) return table.entries[i].kernel;
    return nullptr;
}

const KernelTable& ActiveKernels()
{
    static const KernelTable& table = support::HasAvx2() ? Avx2Kernels()
                                      : support::HasSse2() ? Sse2Kernels()
                                                           : PlainKernels();
    return table;
}

namespace {

// Container size of the types the stereo split and join take; 0 for the others.
int StereoContainer(ZUSAMPLETYPE type)
{
    switch (type) {
    case ZUSAMPLETYPE_PCM8: return 1;
    case ZUSAMPLETYPE_PCM16: return 2;
    case ZUSAMPLETYPE_PCM32:
    case ZUSAMPLETYPE_FLOAT32:
    case ZUSAMPLETYPE_PCM24_UNPACKED: return 4;
    case ZUSAMPLETYPE_FLOAT64: return 8;
    default: return 0;
    }
}

} // namespace

} // namespace zuvst::audio

using namespace zuvst::audio;

extern "C" {

ZUCOPYCHANNELSPROC ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE dstType, ZUSAMPLETYPE srcType)
{
    return FindKernel(ActiveKernels(), dstType, srcType);
}

uint32_t ZuAudio_BytesFromSampleType(ZUSAMPLETYPE type)
{
    switch (type) {
    case ZUSAMPLETYPE_PCM8:
    case ZUSAMPLETYPE_PCM8_SIGNED: return 1;
    case ZUSAMPLETYPE_PCM16:
    case ZUSAMPLETYPE_PCM16_BE: return 2;
    case ZUSAMPLETYPE_PCM24:
    case ZUSAMPLETYPE_PCM24_BE: return 3;
    case ZUSAMPLETYPE_PCM32:
    case ZUSAMPLETYPE_PCM32_BE:
    case ZUSAMPLETYPE_FLOAT32:
    case ZUSAMPLETYPE_PCM24_UNPACKED: return 4;
    case ZUSAMPLETYPE_FLOAT64: return 8;
    default: return 0; // 128 and 129 too, although their words are 4 bytes
    }
}

HRESULT ZuAudio_DeInterleaveStereo(void* left, void* right, const void* src, ZUSAMPLETYPE type, int32_t frames)
{
    const int size = StereoContainer(type);
    if (!size) return E_NOTIMPL;
    if (frames > 0) ActiveKernels().split[size](left, right, src, frames);
    return S_OK;
}

HRESULT ZuAudio_InterleaveStereo(void* dst, const void* left, const void* right, ZUSAMPLETYPE type, int32_t frames)
{
    const int size = StereoContainer(type);
    if (!size) return E_NOTIMPL;
    if (frames > 0) ActiveKernels().join[size](dst, left, right, frames);
    return S_OK;
}

HRESULT ZuAudio_MuteChannel(void* buffer, ZUSAMPLETYPE type, int32_t channels, int32_t channel, int32_t frames)
{
    const uint32_t size = ZuAudio_BytesFromSampleType(type);
    if (!size) return E_FAIL;
    if (frames <= 0) return S_OK;
    // Silence is all-zero bytes for every type but unsigned 8-bit, whose silence is 0x80.
    const uint8_t fill = type == ZUSAMPLETYPE_PCM8 ? 0x80 : 0x00;
    auto* p = static_cast<uint8_t*>(buffer) + size_t(channel) * size;
    const size_t step = size_t(channels) * size;
    for (int32_t f = 0; f < frames; ++f, p += step) std::memset(p, fill, size);
    return S_OK;
}
}
