// The launcher routines a host links: factories in this process or in a server process.
#include "zuvst/launcher.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>

#include "faultgrove/faultgrove.h"
#include "platform/executable_info.h"
#include "platform/ipc.h"
#include "platform/module_path.h"
#include "platform/process.h"
#include "platform/text.h"
#include "zuvstps/apartment.h"
#include "zuvstps/registration.h"
#include "zuvstwrap/server/command_line.h"
#include "zuvstwrap/server/server.h"
#include "zuvstwrap/zuvsteffect/host_callback.h"

namespace {

// The server this host knows of. Calls of ConnectEffectFactory and ReleaseEffectFactory must not overlap;
// only the use count is changed atomically.
CLSID g_clsidServer {};
uint32_t g_pidServer = 0;
std::atomic<int32_t> g_cFactoryUses {0};
uint32_t g_pidLastStarted = 0;

constexpr uint32_t kReadyWaitMs = 5000;

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Beside the host's program, then where the installed layout puts it (bin beside the library's lib), then
// wherever ZUVST_SERVER names.
std::string FindServerProgram()
{
    const std::string besideHost = DirectoryOf(zuvst::platform::ModuleFilePath(nullptr)) + "zuvstserver";
    if (zuvst::platform::IsExecutableFile(besideHost)) return besideHost;
    const std::string library = DirectoryOf(zuvst::platform::ModuleFilePath(reinterpret_cast<void*>(&ConnectEffectFactory)));
    if (!library.empty()) {
        const std::string installed = library + "../bin/zuvstserver";
        if (zuvst::platform::IsExecutableFile(installed)) return installed;
    }
    const char* named = std::getenv("ZUVST_SERVER");
    if (named && zuvst::platform::IsExecutableFile(named)) return named;
    return besideHost; // not there either: the start fails as it would for any missing program
}

HRESULT StartServer(const WCHAR* vendor, const WCHAR* product, HRESULT firstStatus)
{
    using namespace zuvst;
    const std::string eventName = "KelvadiVstServerEvent_" + std::to_string(platform::CurrentProcessId());
    const int event = platform::CreateNamedEvent(eventName);
    if (event < 0) return firstStatus;
    const std::string program = FindServerProgram();
    // The command line is built whole, never cut: a cut one would name the wrong event.
    const std::u16string line = BuildServerCommandLine(platform::Utf8ToWideString(program.c_str()),
                                                       platform::Utf8ToWideString(eventName.c_str()), vendor, product);
    std::vector<std::string> argv;
    for (const std::u16string& element : SplitCommandLine(line)) argv.push_back(platform::WideToUtf8String(element.c_str()));
    platform::HeldProcess process;
    if (!platform::StartHeldProcess(program, argv, &process)) {
        platform::CloseNamedEvent(event, eventName);
        return firstStatus;
    }
    g_clsidServer = ServerClassId(process.pid);
    g_pidServer = process.pid;
    g_pidLastStarted = process.pid;
    Faultgrove_StartMonitoringProcess(process.pid);
    platform::ReleaseHeldProcess(&process);
    HRESULT hr = firstStatus;
    if (platform::WaitNamedEvent(event, kReadyWaitMs)) hr = S_OK;
    if (FAILED(hr)) Faultgrove_StopMonitoringProcess(process.pid);
    platform::CloseNamedEvent(event, eventName);
    return hr;
}

} // namespace

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
    if (!ppv) return E_INVALIDARG;
    IClassFactory* classObject = nullptr;
    HRESULT hr = zuvst::ps::ConnectClassObject(g_clsidServer, IID_IClassFactory, reinterpret_cast<void**>(&classObject),
                                               nullptr);
    if (FAILED(hr)) {
        hr = StartServer(vendor, product, hr);
        if (FAILED(hr)) return hr;
        hr = zuvst::ps::ConnectClassObject(g_clsidServer, IID_IClassFactory, reinterpret_cast<void**>(&classObject),
                                           nullptr);
        if (FAILED(hr)) {
            Faultgrove_StopMonitoringProcess(g_pidServer);
            return hr;
        }
    }
    hr = classObject->CreateInstance(nullptr, riid, ppv);
    if (SUCCEEDED(hr)) {
        g_cFactoryUses.fetch_add(1);
        if (serverPid) *serverPid = g_pidServer;
    }
    classObject->Release();
    return hr;
}

HRESULT ReleaseEffectFactory(BOOL inProcess, IUnknown* factory)
{
    if (!factory) return 0;
    HRESULT result = 0;
    if (!inProcess && g_cFactoryUses.fetch_sub(1) == 1) {
        result = Faultgrove_StopMonitoringProcess(g_pidServer);
        g_clsidServer = CLSID {};
        g_pidServer = 0;
    }
    factory->Release();
    return result;
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

HRESULT RegisterProxyStub(const WCHAR* libraryPath, uint32_t* cookie)
{
    if (cookie) *cookie = 0;
    if (!libraryPath) return E_FAIL;
    void* library = ::dlopen(zuvst::platform::WideToUtf8String(libraryPath).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return E_FAIL;
    HRESULT hr = E_FAIL;
    uint32_t registered = 0;
    auto info = reinterpret_cast<zuvst::ps::GetProxyDllInfoProc>(::dlsym(library, "GetProxyDllInfo"));
    auto getClassObject = reinterpret_cast<zuvst::ps::DllGetClassObjectProc>(::dlsym(library, "DllGetClassObject"));
    const zuvst::ps::ProxyFileInfo** list = nullptr;
    const CLSID* clsid = nullptr;
    if (info) info(&list, &clsid);
    if (info && list && clsid && list[0] && list[0]->TableVersion == 2 && getClassObject) {
        IUnknown* object = nullptr;
        hr = getClassObject(*clsid, IID_IUnknown, reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr)) {
            hr = zuvst::ps::RegisterInProcessClassObject(*clsid, object, &registered);
            for (uint32_t i = 0; SUCCEEDED(hr) && i < list[0]->TableSize; ++i) {
                hr = zuvst::ps::RegisterPSClsid(*list[0]->InterfaceIds[i], *clsid);
                if (FAILED(hr)) {
                    zuvst::ps::RevokeInProcessClassObject(registered);
                    registered = 0;
                }
            }
            object->Release();
        }
    }
    if (FAILED(hr)) ::dlclose(library);
    if (cookie) *cookie = registered;
    return hr;
}

HRESULT GetLastServerEnd(ZUVSTSERVEREND* end)
{
    if (!end) return E_INVALIDARG;
    *end = ZUVSTSERVEREND {g_pidLastStarted, ZUVST_SERVER_UNKNOWN, 0};
    if (!g_pidLastStarted) return S_FALSE;
    Faultgrove_GetProcessEnd(g_pidLastStarted, &end->state, &end->code);
    return S_OK;
}
}
