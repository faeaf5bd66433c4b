// The avx2 build of the conversion kernels.
#define ZU_KERNEL_NS avx2
#define ZU_KERNEL_NAME "avx2"
#define ZU_KERNEL_SIMD 2
#define ZU_KERNEL_TABLE Avx2Kernels
#include "support/audio/kernel_impl.h"

namespace zuvst::audio {
const KernelTable& Avx2Kernels() { return avx2::Avx2Kernels(); }
} // namespace zuvst::audio
