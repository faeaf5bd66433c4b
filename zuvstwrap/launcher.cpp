// The launcher routines a host links: factories in this process or in a server.
#include "zuvst/launcher.h"

#include "platform/executable_info.h"
#include "platform/text.h"
#include "zuvstwrap/zuvsteffect/host_callback.h"

extern "C" {

HRESULT ConnectEffectFactory(BOOL inProcess, REFIID riid, void** ppv, const WCHAR* vendor, const WCHAR* product,
                             uint32_t* serverPid)
{
    if (serverPid) *serverPid = 0;
    if (inProcess) {
        zuvst::SetHostStrings(vendor, product);
        return CreateEffectFactory(riid, ppv);
    }
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL; // the server process comes with the marshalling library
}

HRESULT ReleaseEffectFactory(BOOL, IUnknown* factory)
{
    if (factory) factory->Release();
    return 0;
}

BOOL IsX86PlugIn(const WCHAR* path)
{
    if (!path) return FALSE;
    return zuvst::platform::IsNativeLibraryFile(zuvst::platform::WideToUtf8String(path).c_str()) ? TRUE : FALSE;
}

HRESULT CreateVstEffect(const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv)
{
    const BOOL inProcess = IsX86PlugIn(path);
    IZuVstEffectFactory* factory = nullptr;
    HRESULT hr = ConnectEffectFactory(inProcess, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory),
                                      nullptr, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    hr = factory->CreateEffect(path, uniqueID, riid, ppv);
    ReleaseEffectFactory(inProcess, factory);
    return hr;
}

HRESULT RegisterProxyStub(const WCHAR*, uint32_t* cookie)
{
    if (cookie) *cookie = 0;
    return E_NOTIMPL; // comes with the marshalling library
}
}
