#include "support/kernel/cpu_features.h"

#include <mutex>

#include "platform/cpu.h"
#include "platform/fault_guard.h"
#include "zuvst/support.h"

uint32_t g_dwCPUSupport = 0;
uint32_t g_dwCPUBits = 0;
uint32_t g_dwOSBits = 0;
uint32_t g_cProcessors = 0;

namespace zuvst::support {

namespace {
std::once_flag g_detectOnce;

constexpr uint32_t kMmx = 0x10, kSse = 0x20, kSse2 = 0x40, kSse3 = 0x80, kSsse3 = 0x100, kSse41 = 0x200,
                   kSse42 = 0x400, kCmov = 0x1000, kFcomi = 0x2000, kRdtsc = 0x4000, kFlushToZero = 0x20000;

platform::FaultAction HandleAny(uint32_t) { return platform::kFaultHandle; }
} // namespace

void DetectProcessor()
{
    std::call_once(g_detectOnce, [] {
        const platform::CpuInfo cpu = platform::ReadCpuInfo();
        g_cProcessors = cpu.processors;
        uint32_t cls = cpu.family486 ? 1 : cpu.family586 ? 2 : 0;
        uint32_t support = 0, bits = 0, os = 0;
        const uint32_t edx = cpu.leaf1Edx, ecx = cpu.leaf1Ecx;
        if (edx & (1u << 4)) support |= kRdtsc, bits |= kRdtsc;
        if (edx & (1u << 15)) {
            support |= kCmov, bits |= kCmov;
            if (edx & 1u) support |= kFcomi, bits |= kFcomi, cls = 3;
        }
        if (edx & (1u << 23)) {
            bits |= kMmx, os |= kMmx, support |= kMmx;
            if (cls == 3) cls = 4;
        }
        const bool sseUsable = edx & (1u << 25);
        if (sseUsable) {
            bits |= kSse, os |= kSse, support |= kSse;
            if (cls == 4) cls = 5;
            bits |= kFlushToZero;
            // Flush-to-zero and denormals-are-zero for this thread; a fault leaves the register alone.
            const uint32_t before = platform::ReadSseControl();
            if (platform::Guarded(HandleAny, [] { platform::WriteSseControl(platform::ReadSseControl() | 0x8040); }) == 0) {
                support |= kFlushToZero;
                platform::SetThreadFlushToZeroBits(0x8040);
            } else {
                platform::WriteSseControl(before);
            }
        }
        if (edx & (1u << 26)) {
            bits |= kSse2;
            if (sseUsable) os |= kSse2, support |= kSse2;
            if (cls == 5) cls = 6;
        }
        if (ecx & 1u) bits |= kSse3;
        if (sseUsable) os |= kSse3 | kSsse3 | kSse41 | kSse42;
        if ((ecx & 1u) && sseUsable) support |= kSse3;
        if (ecx & (1u << 9)) bits |= kSsse3;
        if (ecx & (1u << 19)) bits |= kSse41;
        if (ecx & (1u << 20)) bits |= kSse42;
        g_dwCPUBits = bits;
        g_dwOSBits = os;
        g_dwCPUSupport = cls | support;
    });
}

bool HasAvx2()
{
    // Read on its own: choosing a kernel build must not switch on flush-to-zero for the calling thread,
    // which in a host's own process is the host's thread.
    static const bool avx2 = [] {
        const platform::CpuInfo cpu = platform::ReadCpuInfo();
        return cpu.avx2 && cpu.osSavesYmm;
    }();
    return avx2;
}

bool HasSse2()
{
    static const bool sse2 = (platform::ReadCpuInfo().leaf1Edx & (1u << 26)) != 0;
    return sse2;
}

} // namespace zuvst::support

extern "C" {

uint32_t ZuGetCPUSupport(uint32_t mask)
{
    zuvst::support::DetectProcessor();
    return g_dwCPUSupport & (mask ? mask : 0xFFFFFFFFu);
}

uint32_t ZuGetOSSupport(uint32_t mask)
{
    zuvst::support::DetectProcessor();
    return g_dwOSBits & (mask ? mask : 0xFFFFFFFFu);
}

uint32_t ZuGetProcessorCount()
{
    zuvst::support::DetectProcessor();
    return g_cProcessors;
}
}
