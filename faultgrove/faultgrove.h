// The crash-report library: watches server processes from the host and brackets expected faults.
#ifndef ZUVST_FAULTGROVE_H
#define ZUVST_FAULTGROVE_H

#include <cstdint>

#define FAULTGROVE_API extern "C" __attribute__((visibility("default")))

FAULTGROVE_API int32_t Faultgrove_Initialize(int32_t flags);
FAULTGROVE_API int32_t Faultgrove_Shutdown();
FAULTGROVE_API int32_t Faultgrove_StartMonitoringProcess(uint32_t pid);
FAULTGROVE_API int32_t Faultgrove_StopMonitoringProcess(uint32_t pid);
FAULTGROVE_API int32_t Faultgrove_StartTrapBypass();
FAULTGROVE_API int32_t Faultgrove_EndTrapBypass();

#endif
