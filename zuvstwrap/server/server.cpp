#include "zuvstwrap/server/server.h"

#include <cstdio>

#include "faultgrove/faultgrove.h"
#include "platform/ipc.h"
#include "platform/lifetime.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "zuvst/launcher.h"
#include "zuvst/support.h"
#include "zuvstps/apartment.h"
#include "zuvstwrap/factory.h"
#include "zuvstwrap/server/command_line.h"
#include "zuvstwrap/zuvsteffect/host_callback.h"

namespace zuvst {

const CLSID CLSID_ZuVstServerBase {0x6D3F1A28, 0xE9B4, 0x47C1, {0x8A, 0x5D, 0x3C, 0x72, 0xB9, 0x0E, 0x14, 0xAF}};

CLSID ServerClassId(uint32_t pid)
{
    CLSID id = CLSID_ZuVstServerBase;
    id.Data1 ^= pid;
    return id;
}

namespace {

uint32_t g_dwRegister = 0;

// The root window's terminal form: the server says on the terminal that it runs, and SIGINT, SIGTERM or
// SIGHUP close it, through the close handling of a window.
class RootWindow {
public:
    static RootWindow* Create()
    {
        auto* window = new (std::nothrow) RootWindow;
        if (!window) return nullptr;
        window->m_signals = platform::WatchCloseSignals();
        if (window->m_signals < 0) {
            delete window;
            return nullptr;
        }
        g_hwndRoot.store(reinterpret_cast<uintptr_t>(window)); // what WM_CREATE does once the window is made
        return window;
    }
    void Show()
    {
        std::fprintf(stderr, "ZuVstServer: process %u serves plug-ins; SIGINT, SIGTERM or SIGHUP closes it\n",
                     platform::CurrentProcessId());
        ps::Apartment::Get().AddWatch(m_signals, [this] { OnSignal(); });
    }

private:
    void OnSignal()
    {
        if (!platform::TakeCloseSignal(m_signals)) return;
        // WM_CLOSE: the window is no longer up. WM_NCDESTROY: the loop ends unless something is still in use.
        g_hwndRoot.store(0);
        ps::Apartment::Get().RemoveWatch(m_signals);
        platform::CloseFd(m_signals);
        const bool inUse = IsServerInUse();
        delete this;
        if (!inUse) platform::PostThreadMessage(platform::CurrentThreadId(), platform::kMsgQuit, 0, 0);
    }
    int m_signals = -1;
};

// A server whose host has ended and that serves no session has nothing more to do.
bool g_hostGone = false;
void QuitIfOrphaned()
{
    if (g_hostGone && ps::Apartment::Get().SessionCount() == 0 && g_hwndRoot.load() == 0)
        platform::PostThreadMessage(platform::CurrentThreadId(), platform::kMsgQuit, 0, 0);
}

void WatchHost()
{
    const uint32_t host = platform::ParentProcessId();
    const int watch = host > 1 ? platform::OpenProcessWatch(host) : -1;
    if (watch < 0) return;
    ps::Apartment::Get().AddWatch(watch, [watch] {
        ps::Apartment::Get().RemoveWatch(watch);
        platform::CloseFd(watch);
        g_hostGone = true;
        QuitIfOrphaned();
    });
    ps::Apartment::Get().SetSessionEndedHook(QuitIfOrphaned);
}

} // namespace

bool IsServerInUse() { return g_hwndRoot.load() != 0 || g_cServerLocks.load() != 0 || g_cLiveEffects.load() != 0; }

HRESULT RegisterServerClassObject(uint32_t threadId, const WCHAR* vendor, const WCHAR* product)
{
    uint32_t expected = 0;
    g_idMainThread.compare_exchange_strong(expected, threadId);
    if (g_dwRegister != 0) return S_FALSE;
    SetHostStrings(vendor, product);
    IUnknown* factory = nullptr;
    HRESULT hr = CreateEffectFactory(IID_IUnknown, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = ps::Apartment::Get().RegisterClassObject(ServerClassId(platform::CurrentProcessId()), factory, &g_dwRegister);
    factory->Release();
    return hr;
}

HRESULT RevokeServerClassObject()
{
    if (g_dwRegister == 0) return S_FALSE;
    const HRESULT hr = ps::Apartment::Get().RevokeClassObject(g_dwRegister);
    g_dwRegister = 0;
    return hr;
}

int ServerMain(int argc, char** argv)
{
    ZuKernel_Startup(nullptr, nullptr);
    CommandLineArgs args = MakeCommandLineArgs(argc, argv);
    ps::Apartment& apartment = ps::Apartment::Get();
    apartment.Enter();
    platform::SetPostQuitProc(
        [](uint32_t thread) { platform::PostThreadMessage(thread, platform::kMsgQuit, 0, 0); });
    Faultgrove_Initialize(0);
    const WCHAR* product = GetOptionValue(args, u"Product");
    const WCHAR* vendor = GetOptionValue(args, u"Vendor");
    RegisterServerClassObject(platform::CurrentThreadId(), vendor, product);
    // A server that can load nothing more withdraws: its hosts keep what they have, new ones get a new server.
    SetLoaderHeldProc([] { RevokeServerClassObject(); });
    const WCHAR* event = GetOptionValue(args, u"Event");
    if (!event || !platform::SetNamedEvent(platform::WideToUtf8String(event))) {
        if (RootWindow* window = RootWindow::Create()) window->Show();
    }
    WatchHost();
    apartment.RunMessageLoop();
    RevokeServerClassObject();
    Faultgrove_Shutdown();
    ZuKernel_Shutdown(nullptr, nullptr);
    return 0;
}

} // namespace zuvst
