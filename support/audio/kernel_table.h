// The kernel table of one instruction-set build of the conversion kernels.
#ifndef ZUVST_SUPPORT_KERNEL_TABLE_H
#define ZUVST_SUPPORT_KERNEL_TABLE_H

#include <cstdint>

#include "zuvst/support.h"

namespace zuvst::audio {

struct KernelEntry {
    int16_t dst;
    int16_t src;
    ZUCOPYCHANNELSPROC kernel;
};

using StereoSplitProc = void (*)(void* left, void* right, const void* src, int32_t frames);
using StereoJoinProc = void (*)(void* dst, const void* left, const void* right, int32_t frames);

struct KernelTable {
    const char* name;
    const KernelEntry* entries;
    int count;
    // Split and join, indexed by container size 1, 2, 4, 8 (types 16, 17, 19/32/48, 33).
    StereoSplitProc split[9];
    StereoJoinProc join[9];
};

constexpr int kKernelPairs = 137;

const KernelTable& PlainKernels();
const KernelTable& Sse2Kernels();
const KernelTable& Avx2Kernels();
// The fastest build this processor runs; chosen once.
const KernelTable& ActiveKernels();
ZUCOPYCHANNELSPROC FindKernel(const KernelTable& table, int dst, int src);

} // namespace zuvst::audio

#endif
