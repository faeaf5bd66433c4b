#include "zuvstps/registration.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zuvstps/kinds.h"
#include "zuvstps/session.h"

namespace zuvst::ps {

namespace {

// The proxy/stub class identifier is the factory interface's identifier.
const CLSID& ProxyStubClsid() { return IidOf<IZuVstEffectFactory>(); }

const IID* const kCarried[] = {&IidOf<IZuVstEffectFactory>(), &IidOf<IZuVstEffect>(), &IidOf<IZuVstMaster>()};
const char* const kCarriedNames[] = {"IZuVstEffectFactory", "IZuVstEffect", "IZuVstMaster"};
const ProxyFileInfo kFileInfo {2, 3, kCarried, kCarriedNames};
const ProxyFileInfo* const kFileList[] = {&kFileInfo, nullptr};

// The library's class object: it stands for the proxies and stubs of this library.
class ProxyStubClass final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IidOf<IUnknown>())) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs {1};
};

std::string Key(const GUID& g) { return std::string(reinterpret_cast<const char*>(&g), sizeof(GUID)); }

struct Tables {
    std::mutex lock;
    std::map<uint32_t, std::pair<CLSID, IUnknown*>> classes;
    uint32_t nextCookie = 1;
    std::map<std::string, CLSID> proxyStubs;
};
Tables& TheTables()
{
    static auto* t = new Tables;
    return *t;
}

} // namespace

HRESULT RegisterInProcessClassObject(const CLSID& clsid, IUnknown* object, uint32_t* cookie)
{
    if (!object || !cookie) return E_INVALIDARG;
    Tables& t = TheTables();
    std::lock_guard<std::mutex> g(t.lock);
    object->AddRef();
    *cookie = t.nextCookie++;
    t.classes[*cookie] = {clsid, object};
    return S_OK;
}

HRESULT RevokeInProcessClassObject(uint32_t cookie)
{
    IUnknown* object = nullptr;
    {
        Tables& t = TheTables();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.classes.find(cookie);
        if (it == t.classes.end()) return E_INVALIDARG;
        object = it->second.second;
        t.classes.erase(it);
    }
    object->Release();
    return S_OK;
}

HRESULT RegisterPSClsid(const IID& iid, const CLSID& clsid)
{
    if (!IsMarshalled(iid)) return E_NOINTERFACE;
    Tables& t = TheTables();
    std::lock_guard<std::mutex> g(t.lock);
    t.proxyStubs[Key(iid)] = clsid;
    return S_OK;
}

} // namespace zuvst::ps

void GetProxyDllInfo(const zuvst::ps::ProxyFileInfo*** list, const CLSID** clsid)
{
    if (list) *list = const_cast<const zuvst::ps::ProxyFileInfo**>(zuvst::ps::kFileList);
    if (clsid) *clsid = &zuvst::ps::ProxyStubClsid();
}

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(clsid == zuvst::ps::ProxyStubClsid())) return ZU_HR(0x80040111); // CLASS_E_CLASSNOTAVAILABLE
    auto* object = new (std::nothrow) zuvst::ps::ProxyStubClass;
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
