// What the marshalling library tells a process that loads it by hand: the interfaces it carries and its class
// object, and the in-process tables they are registered in.
#ifndef ZUVST_ZUVSTPS_REGISTRATION_H
#define ZUVST_ZUVSTPS_REGISTRATION_H

#include "zuvst/types.h"

namespace zuvst::ps {

struct ProxyFileInfo {
    uint32_t TableVersion;          // 2
    uint32_t TableSize;             // interfaces in the table
    const IID* const* InterfaceIds; // TableSize entries
    const char* const* Names;
};

using GetProxyDllInfoProc = void (*)(const ProxyFileInfo*** list, const CLSID** clsid);
using DllGetClassObjectProc = HRESULT (*)(REFCLSID clsid, REFIID riid, void** ppv);

HRESULT RegisterInProcessClassObject(const CLSID& clsid, IUnknown* object, uint32_t* cookie);
HRESULT RevokeInProcessClassObject(uint32_t cookie);
// Records which proxy/stub class carries an interface; fails for an interface this library cannot carry.
HRESULT RegisterPSClsid(const IID& iid, const CLSID& clsid);

} // namespace zuvst::ps

extern "C" {
__attribute__((visibility("default"))) void GetProxyDllInfo(const zuvst::ps::ProxyFileInfo*** list, const CLSID** clsid);
__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
}

#endif
