// Construction, loading, unloading, reference counting and the guarded dispatcher forms.
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fault_guard.h"
#include "platform/lifetime.h"
#include "platform/text.h"
#include "zuvst/launcher.h"
#include "zuvstwrap/exception_guard.h"
#include "zuvstwrap/zuvsteffect/host_callback.h"

namespace zuvst {

namespace {
// Plug-ins that write past the string buffer they were given land in this slack, never in our frame;
// only the first kStringBufferBytes are ever read.
constexpr size_t kOverrunSlack = 768;
} // namespace

CZuVstEffect::CZuVstEffect(const WCHAR* path, int32_t uniqueID, HRESULT* status)
{
    // A fresh effect converts like a float host, so that no path ever calls a null kernel.
    SetSampleType(ZUSAMPLETYPE_FLOAT32);
    const HRESULT hr = LoadPlugin(path, uniqueID);
    if (status) *status = hr;
    g_cLiveEffects.fetch_add(1);
}

CZuVstEffect::~CZuVstEffect()
{
    UnloadPlugin();
    g_cLiveEffects.fetch_sub(1);
    PostQuitIfIdle();
}

HRESULT CZuVstEffect::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IZuVstEffect) {
        AddRef();
        *ppv = static_cast<IZuVstEffect*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CZuVstEffect::AddRef() { return static_cast<ULONG>(++m_cRef); }

ULONG CZuVstEffect::Release()
{
    const int32_t count = --m_cRef;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CZuVstEffect::LoadPlugin(const WCHAR* path, int32_t uniqueID)
{
    HRESULT result = S_OK;
    const bool completed = GuardedPluginCall([&] {
        const size_t units = std::min(platform::WideLength(path), kPathUnits - 1);
        if (units) std::memcpy(m_szPath, path, units * sizeof(WCHAR));
        m_szPath[units] = 0;
        platform::FpuReset();

        // The library's own initialisation is plug-in code, so the load runs under a guard of its own.
        char utf8[kPathUnits * 3 + 1];
        platform::WideToUtf8(m_szPath, utf8, sizeof(utf8));
        HRESULT hr = S_OK;
        const platform::LoaderLocks loaderLocks = platform::CaptureLoaderLocks();
        if (!GuardedPluginCall([&] { hr = platform::LoadLibrary(utf8, &m_hLibrary); })) {
            // The abandoned load keeps the library mapped: hold it, so that destruction frees it.
            platform::RestoreLoaderLocks(loaderLocks);
            platform::ForgetLoadInProgress();
            m_hLibrary = platform::AdoptAbandonedLibrary(utf8);
            result = ZU_E_EXCEPTION;
            return;
        }
        void* entry = nullptr;
        if (SUCCEEDED(hr)) {
            hr = platform::FindSymbol(m_hLibrary, "main", &entry);
            if (FAILED(hr)) hr = platform::FindSymbol(m_hLibrary, "VSTPluginMain", &entry);
        }
        if (FAILED(hr)) {
            UnloadPlugin();
            result = hr;
            return;
        }

        vst2::AEffect* descriptor = nullptr;
        m_loadLock.lock();
        BeginLoadHandOff(uniqueID);
        const bool entered = GuardedPluginCall(
            [&] { descriptor = reinterpret_cast<vst2::EntryProc>(entry)(&HostCallback); });
        if (EndLoadHandOff())
            SetState(EFFECT_WANTS_IDLE);
        else
            ClearState(EFFECT_WANTS_IDLE);
        m_loadLock.unlock();
        if (!entered) {
            result = ZU_E_EXCEPTION;
            return;
        }

        // The magic is read from memory the plug-in handed us; a bad pointer faults inside this guard.
        if (!descriptor || descriptor->magic != vst2::kMagic) {
            UnloadPlugin();
            result = E_INVALIDARG;
            return;
        }
        m_pEffect = descriptor;

        if (Dispatch(vst2::effGetPlugCategory) == vst2::kPlugCategShell) {
            SetState(EFFECT_IS_SHELL);
            if (uniqueID == 0) {
                result = ZU_S_NOTCONFIGURED;
                return;
            }
            if (uniqueID != m_pEffect->uniqueID) {
                UnloadPlugin();
                result = E_UNEXPECTED;
                return;
            }
        }
        m_pEffect->resvd1 = reinterpret_cast<intptr_t>(this);
        Dispatch(vst2::effOpen);
    });
    return completed ? result : ZU_E_EXCEPTION;
}

void CZuVstEffect::UnloadPlugin()
{
    const bool completed = GuardedPluginCall([&] {
        EditorClose();
        if (m_pEffect) {
            Dispatch(vst2::effClose);
            m_pEffect = nullptr;
        }
        if (m_pMaster) {
            IZuVstMaster* master = m_pMaster;
            m_pMaster = nullptr;
            master->Release();
        }
        // Forget the handle first: a fault inside the library's own teardown must not free it twice.
        if (platform::LibraryHandle library = m_hLibrary) {
            m_hLibrary = nullptr;
            platform::FreeLibrary(library);
        }
        ReleaseChannelBuffers();
    });
    if (completed) return;
    m_pEffect = nullptr;
    if (platform::LibraryHandle library = m_hLibrary) {
        m_hLibrary = nullptr;
        GuardedPluginCall([&] { platform::FreeLibrary(library); });
    }
    // The host's object is not plug-in code: give it back rather than keep it alive for ever.
    if (IZuVstMaster* master = m_pMaster) {
        m_pMaster = nullptr;
        master->Release();
    }
}

intptr_t CZuVstEffect::Dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt)
{
    vst2::AEffect* const effect = m_pEffect;
    if (!effect) return -1;
    intptr_t result = -1;
    if (!GuardedPluginCall([&] { result = effect->dispatcher(effect, opcode, index, value, ptr, opt); }))
        return -1;
    return result;
}

intptr_t CZuVstEffect::DispatchGetString(int32_t opcode, int32_t index, WCHAR* text, int32_t capacity)
{
    char buffer[vst2::kStringBufferBytes + kOverrunSlack] = {};
    const bool haveText = text && capacity > 0;
    if (haveText) std::memset(text, 0, static_cast<size_t>(capacity) * sizeof(WCHAR));
    vst2::AEffect* const effect = m_pEffect;
    if (!effect) return -1;
    intptr_t result = -1;
    const bool completed = GuardedPluginCall([&] {
        result = effect->dispatcher(effect, opcode, index, 0, buffer, 0.0f);
        if (haveText) platform::Utf8ToWide(buffer, vst2::kStringBufferBytes, text, static_cast<size_t>(capacity));
    });
    return completed ? result : -1;
}

intptr_t CZuVstEffect::DispatchSetString(int32_t opcode, int32_t index, const WCHAR* text)
{
    // Sized for the whole UTF-8 form (up to 3 bytes a unit), so that no text is cut.
    const size_t bytes = platform::WideLength(text) * 3 + 2;
    char local[512];
    std::unique_ptr<char[]> large;
    char* buffer = local;
    if (bytes > sizeof(local)) {
        large.reset(new (std::nothrow) char[bytes]);
        if (!large) return -1;
        buffer = large.get();
    }
    std::memset(buffer, 0, bytes);
    platform::WideToUtf8(text, buffer, bytes);
    return Dispatch(opcode, index, 0, buffer);
}

} // namespace zuvst
