// zuvst edit: the plug-in's editor inside an X11 window of ours, sized from the editor's rectangle and its
// SizeWindow requests, idled about 30 times a second, closed when the window closes.
// Our declarations first: the X headers define Status as a macro.
#include "cli.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace zuvst_cli {

namespace {

// Takes the plug-in's size requests; they may arrive on another thread and are applied by the loop.
class EditorMaster final : public IZuVstMaster {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown || riid == IID_IZuVstMaster)) return E_NOINTERFACE;
        *ppv = static_cast<IZuVstMaster*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }
    HRESULT Automate(int32_t, float) override { return S_OK; }
    HRESULT Idle() override { return S_OK; }
    HRESULT UpdateDisplay() override { return S_OK; }
    HRESULT GetTime(ZUVSTTIMEINFO*) override { return S_FALSE; }
    HRESULT TempoAt(int32_t, int32_t* tempo) override
    {
        if (tempo) *tempo = 1200000;
        return S_OK;
    }
    HRESULT SizeWindow(int32_t width, int32_t height) override
    {
        if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return E_INVALIDARG;
        m_size.store((uint64_t(uint32_t(width)) << 32) | uint32_t(height));
        return S_OK;
    }
    HRESULT BeginEdit(int32_t) override { return S_OK; }
    HRESULT EndEdit(int32_t) override { return S_OK; }
    uint64_t TakeSize() { return m_size.exchange(0); }

private:
    std::atomic<ULONG> m_refs {1};
    std::atomic<uint64_t> m_size {0};
};

volatile sig_atomic_t g_closeRequested = 0;

} // namespace

int Edit(IZuVstEffectFactory* factory, const Options& o)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "zuvst: no X display (is DISPLAY set?)\n");
        return 1;
    }
    IZuVstEffect* effect = nullptr;
    HRESULT hr = factory->CreateEffect(Widen(o.plugin).c_str(), o.uniqueId, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    if (FAILED(hr)) {
        XCloseDisplay(display);
        return Fail(("loading " + o.plugin).c_str(), hr);
    }
    EditorMaster master;
    effect->SetMaster(&master);
    effect->SetSampleRate(48000.0);
    effect->SetBlockSize(512);
    effect->Start(FALSE);
    char16_t name[64] = {};
    effect->GetEffectName(name, 64);
    const std::string title = "zuvst: " + Narrow(name);

    const int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 400, 300, 0,
                                        BlackPixel(display, screen), BlackPixel(display, screen));
    XStoreName(display, window, title.c_str());
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    XSync(display, False);

    ZURECT rect {0, 0, 0, 0};
    hr = effect->EditorOpen(ZUWINDOW(window), &rect);
    int status = 0;
    if (FAILED(hr) || hr == S_FALSE) {
        status = hr == S_FALSE ? (std::fprintf(stderr, "zuvst: %s has no editor\n", o.plugin.c_str()), 1)
                               : Fail("opening the editor", hr);
    } else {
        if (rect.right > rect.left && rect.bottom > rect.top)
            XResizeWindow(display, window, unsigned(rect.right - rect.left), unsigned(rect.bottom - rect.top));
        std::printf("%s: editor open in window 0x%lx, %d x %d\n", title.c_str(), static_cast<unsigned long>(window),
                    rect.right - rect.left, rect.bottom - rect.top);
        std::fflush(stdout);
        signal(SIGINT, [](int) { g_closeRequested = 1; });
        signal(SIGTERM, [](int) { g_closeRequested = 1; });
        bool open = true;
        while (open && !g_closeRequested) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == ClientMessage && Atom(event.xclient.data.l[0]) == deleteWindow) open = false;
                if (event.type == DestroyNotify && event.xdestroywindow.window == window) open = false;
            }
            if (const uint64_t size = master.TakeSize())
                XResizeWindow(display, window, unsigned(size >> 32), unsigned(size & 0xFFFFFFFFu));
            hr = effect->EditorIdle();
            if (uint32_t(hr) == 0x80010108u) {
                status = Fail("idling the editor", hr);
                break;
            }
            XFlush(display);
            // About 30 times a second, waking early for the window's events.
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(ConnectionNumber(display), &fds);
            timeval wait {0, 33000};
            select(ConnectionNumber(display) + 1, &fds, nullptr, nullptr, &wait);
        }
        effect->EditorClose();
    }
    effect->Stop(FALSE);
    effect->Release();
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return status;
}

} // namespace zuvst_cli
