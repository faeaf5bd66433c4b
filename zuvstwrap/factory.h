// CZuVstEffectFactory: the server's class object; makes effects and probes plug-in files.
#ifndef ZUVST_FACTORY_H
#define ZUVST_FACTORY_H

#include <atomic>

#include "zuvst/interfaces.h"

namespace zuvst {

// One probe request; the caller owns every buffer it points to.
struct ZUVSTPROBE {
    HRESULT hrStatus;
    int32_t uniqueID;
    const WCHAR* pszPath;
    WCHAR* pszEffectName; // 64 units
    WCHAR* pszVendor;     // 64 units
    WCHAR* pszProduct;    // 64 units
    ZUVSTEFFECTINFO* pInfo;
};

constexpr int32_t kProbeTextUnits = 64;

// Runs one probe on the calling thread: load, read names and information, release.
void RunProbe(ZUVSTPROBE* probe);

// The file-name part of a path for the probe blacklist: after the last backslash or colon.
const WCHAR* ProbeFileNamePart(const WCHAR* path);
bool IsBlacklistedForProbe(const WCHAR* path);

// Called (on the thread that found it) once this process can load no further library because a given-up
// probe holds the dynamic loader. The server withdraws its class object then, so that hosts start afresh.
void SetLoaderHeldProc(void (*proc)());

class CZuVstEffectFactory final : public IZuVstEffectFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT LockServer(BOOL lock) override;
    HRESULT ProbeEffect(const WCHAR* path, int32_t uniqueID, WCHAR* effectName, WCHAR* vendor, WCHAR* product,
                        ZUVSTEFFECTINFO* info, uint32_t timeLimit) override;
    HRESULT CreateEffect(const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv) override;

private:
    ~CZuVstEffectFactory() = default;
    std::atomic<int32_t> m_cRef {1};
};

} // namespace zuvst

#endif
