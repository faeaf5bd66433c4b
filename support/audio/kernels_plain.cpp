// The plain build of the conversion kernels.
#define ZU_KERNEL_NS plain
#define ZU_KERNEL_NAME "plain"
#define ZU_KERNEL_SIMD 0
#define ZU_KERNEL_TABLE PlainKernels
#include "support/audio/kernel_impl.h"

namespace zuvst::audio {
const KernelTable& PlainKernels() { return plain::PlainKernels(); }
} // namespace zuvst::audio
