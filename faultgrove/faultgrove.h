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

// How a watched process ended. State 0 while it runs, 1 exited (code: exit code), 2 killed by a signal
// (code: the signal), 3 not known (it was never watched, or it was not our child).
FAULTGROVE_API int32_t Faultgrove_GetProcessEnd(uint32_t pid, int32_t* state, int32_t* code);

#endif
