// The sse2 build of the conversion kernels.
#define ZU_KERNEL_NS sse2
#define ZU_KERNEL_NAME "sse2"
#define ZU_KERNEL_SIMD 1
#define ZU_KERNEL_TABLE Sse2Kernels
#include "support/audio/kernel_impl.h"

namespace zuvst::audio {
const KernelTable& Sse2Kernels() { return sse2::Sse2Kernels(); }
} // namespace zuvst::audio
