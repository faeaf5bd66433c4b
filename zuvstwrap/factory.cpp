#include "zuvstwrap/factory.h"

#include <atomic>

#include <new>

#include "faultgrove/faultgrove.h"
#include "platform/library.h"
#include "platform/lifetime.h"
#include "platform/text.h"
#include "zuvst/launcher.h"
#include "zuvstwrap/probe_worker.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

namespace zuvst {

namespace {

constexpr const WCHAR* kProbeBlacklist[] = {u"wnaspi32.dll"};

// The one probe record of the process; every probe overwrites it.
ZUVSTPROBE g_probe;

} // namespace

const WCHAR* ProbeFileNamePart(const WCHAR* path)
{
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p; ++p)
        if (*p == u'\\' || *p == u':') name = p + 1;
    return name;
}

bool IsBlacklistedForProbe(const WCHAR* path)
{
    const WCHAR* name = ProbeFileNamePart(path);
    for (const WCHAR* entry : kProbeBlacklist)
        if (platform::CompareWideNoCase(name, entry) == 0) return true;
    return false;
}

void RunProbe(ZUVSTPROBE* probe)
{
    Faultgrove_StartTrapBypass();
    auto* effect = new (std::nothrow) CZuVstEffect(probe->pszPath, probe->uniqueID, &probe->hrStatus);
    if (!effect) {
        probe->hrStatus = E_OUTOFMEMORY;
    } else {
        if (SUCCEEDED(probe->hrStatus)) {
            effect->GetEffectName(probe->pszEffectName, kProbeTextUnits);
            effect->GetVendorString(probe->pszVendor, kProbeTextUnits);
            effect->GetProductString(probe->pszProduct, kProbeTextUnits);
            effect->GetInfo(probe->pInfo);
        }
        effect->Release();
    }
    Faultgrove_EndTrapBypass();
}

HRESULT CZuVstEffectFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IZuVstEffectFactory || riid == IID_IUnknown || riid == IID_IClassFactory) {
        AddRef();
        *ppv = static_cast<IZuVstEffectFactory*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CZuVstEffectFactory::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

ULONG CZuVstEffectFactory::Release()
{
    const int32_t count = m_cRef.fetch_sub(1) - 1;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CZuVstEffectFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer) return CLASS_E_NOAGGREGATION;
    return QueryInterface(riid, ppv);
}

HRESULT CZuVstEffectFactory::LockServer(BOOL lock)
{
    if (lock)
        g_cServerLocks.fetch_add(1);
    else
        g_cServerLocks.fetch_sub(1);
    PostQuitIfIdle();
    return S_OK;
}

namespace {
std::atomic<void (*)()> g_loaderHeld {nullptr};

// True (after telling the server, once) when the loader is held by an abandoned load.
bool LoaderHeld()
{
    if (!platform::AbandonedLoadInProgress()) return false;
    if (auto proc = g_loaderHeld.exchange(nullptr)) proc();
    return true;
}
} // namespace

void SetLoaderHeldProc(void (*proc)()) { g_loaderHeld.store(proc); }

HRESULT CZuVstEffectFactory::ProbeEffect(const WCHAR* path, int32_t uniqueID, WCHAR* effectName, WCHAR* vendor,
                                         WCHAR* product, ZUVSTEFFECTINFO* info, uint32_t timeLimit)
{
    if (!path) return E_INVALIDARG;
    if (IsBlacklistedForProbe(path)) return E_INVALIDARG;
    if (LoaderHeld()) return ZU_E_LOADER_HUNG;
    g_probe = ZUVSTPROBE {0, uniqueID, path, effectName, vendor, product, info};
    if (timeLimit == 0 || timeLimit == 0xFFFFFFFFu) {
        RunProbe(&g_probe);
        return g_probe.hrStatus;
    }
    if (!g_probeWorker.Submit(&g_probe, timeLimit)) {
        g_probe.hrStatus = ZU_E_CANCELLED;
        LoaderHeld(); // a probe given up inside a library's initialisation keeps the loader
        return ZU_E_CANCELLED;
    }
    return g_probe.hrStatus;
}

HRESULT CZuVstEffectFactory::CreateEffect(const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv)
{
    if (!path || !ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (LoaderHeld()) return ZU_E_LOADER_HUNG;
    HRESULT result = S_OK;
    auto* effect = new (std::nothrow) CZuVstEffect(path, uniqueID, &result);
    if (!effect) return E_OUTOFMEMORY;
    if (SUCCEEDED(result)) {
        const HRESULT hr = effect->QueryInterface(riid, ppv);
        if (FAILED(hr)) result = hr;
    }
    effect->Release();
    return result;
}

} // namespace zuvst

extern "C" HRESULT CreateEffectFactory(REFIID riid, void** ppv)
{
    auto* factory = new (std::nothrow) zuvst::CZuVstEffectFactory();
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}
