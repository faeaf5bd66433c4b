// What the processor and the system report about the processor.
#ifndef ZUVST_PLATFORM_CPU_H
#define ZUVST_PLATFORM_CPU_H

#include <cstdint>

namespace zuvst::platform {

struct CpuInfo {
    uint32_t processors = 0;
    bool family486 = false; // the system's processor type, as the detection classes it
    bool family586 = false; // a Pentium-class or later x86 (x86_64 included)
    uint32_t leaf1Edx = 0;  // CPUID leaf 1 feature flags; 0 when there is no CPUID
    uint32_t leaf1Ecx = 0;
    bool avx2 = false;       // CPUID leaf 7 EBX bit 5
    bool osSavesYmm = false; // OSXSAVE and XCR0 bits 1 and 2
};

CpuInfo ReadCpuInfo();
void WriteSseControl(uint32_t value);

} // namespace zuvst::platform

#endif
