// Accepts the six calls; process monitoring is added with the server.
#include "faultgrove/faultgrove.h"

namespace {
thread_local int32_t tl_trapBypassDepth = 0;
}

int32_t Faultgrove_Initialize(int32_t) { return 0; }
int32_t Faultgrove_Shutdown() { return 0; }
int32_t Faultgrove_StartMonitoringProcess(uint32_t) { return 0; }
int32_t Faultgrove_StopMonitoringProcess(uint32_t) { return 0; }
int32_t Faultgrove_StartTrapBypass() { return ++tl_trapBypassDepth; }
int32_t Faultgrove_EndTrapBypass() { return tl_trapBypassDepth > 0 ? --tl_trapBypassDepth : 0; }
