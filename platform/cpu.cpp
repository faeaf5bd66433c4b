#include "platform/cpu.h"

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zuvst::platform {

CpuInfo ReadCpuInfo()
{
    CpuInfo info;
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    info.processors = n > 0 ? static_cast<uint32_t>(n) : 1;
#if defined(__x86_64__) || defined(__i386__)
    info.family586 = true;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) && a >= 1) {
        const unsigned highest = a;
        __cpuid(1, a, b, c, d);
        info.leaf1Edx = d;
        info.leaf1Ecx = c;
        if (c & (1u << 27)) { // OSXSAVE: XGETBV is usable
            unsigned lo, hi;
            __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            info.osSavesYmm = (lo & 0x6) == 0x6;
        }
        if (highest >= 7) {
            __cpuid_count(7, 0, a, b, c, d);
            info.avx2 = b & (1u << 5);
        }
    }
#endif
    return info;
}

void WriteSseControl(uint32_t value)
{
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("ldmxcsr %0" : : "m"(value));
#else
    (void)value;
#endif
}

} // namespace zuvst::platform
