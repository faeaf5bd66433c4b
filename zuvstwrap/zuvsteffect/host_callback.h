// The host callback handed to every plug-in, and the values it shares with loads in progress.
#ifndef ZUVST_HOST_CALLBACK_H
#define ZUVST_HOST_CALLBACK_H

#include <atomic>

#include "zuvst/types.h"
#include "zuvstwrap/zuvsteffect/vst2_abi.h"

// The host's vendor and product in the plug-ins' code page; empty until set.
extern char g_szHostVendor[64];
extern char g_szHostProduct[64];

// Unique ID requested by the most recent load in the process; set before each entry call.
extern std::atomic<int32_t> g_idLoadingPlugin;

namespace zuvst {

intptr_t HostCallback(vst2::AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                      float opt);
void SetHostStrings(const WCHAR* vendor, const WCHAR* product);

// Hand-off between a load and the callbacks its entry call makes. The values of a load in progress
// live on the loading thread, so two overlapping loads on two threads never see each other's.
void BeginLoadHandOff(int32_t uniqueID);
bool EndLoadHandOff(); // true when the plug-in asked for idle calls during its entry call

} // namespace zuvst

#endif
