// Processor detection: the support, CPU and OS words, and what the kernels choose their builds from.
#ifndef ZUVST_SUPPORT_CPU_FEATURES_H
#define ZUVST_SUPPORT_CPU_FEATURES_H

#include <cstdint>

extern uint32_t g_dwCPUSupport;
extern uint32_t g_dwCPUBits;
extern uint32_t g_dwOSBits;
extern uint32_t g_cProcessors;

namespace zuvst::support {

// Runs the detection once per process, on the calling thread (which gets flush-to-zero).
void DetectProcessor();
// AVX2 with its register state saved by the system (beside the words, which stop at SSE4.2).
bool HasAvx2();
bool HasSse2();

} // namespace zuvst::support

#endif
