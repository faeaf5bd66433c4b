// The operations of IZuVstEffect: names and information, transport, parameters, programs, editor.
#include <cstring>

#include "platform/text.h"
#include "zuvst/launcher.h"
#include "zuvstwrap/exception_guard.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

namespace zuvst {

using namespace vst2;

// Our own block-size test plug-ins ('ZtB1'..'ZtB6'); no plug-in of the distribution is known to need
// its parameter 0 set again after a block-size change.
const int32_t g_rgBlockSizeRefreshIDs[6] = {0x5A744231, 0x5A744232, 0x5A744233,
                                             0x5A744234, 0x5A744235, 0x5A744236};

bool CZuVstEffect::IsUnchosenShell() const
{
    return (StateBits() & EFFECT_IS_SHELL) && m_pEffect && m_pEffect->uniqueID == 0;
}

HRESULT CZuVstEffect::GetEffectName(WCHAR* text, int32_t capacity)
{
    if (!text) return E_INVALIDARG;
    if (capacity <= 0) return E_INVALIDARG;
    text[0] = 0;
    if (IsUnchosenShell()) return ZU_E_NOTINITIALIZED;
    DispatchGetString(effGetEffectName, 0, text, capacity);
    if (text[0] == 0) {
        // The library's file name without directory and extension.
        const WCHAR* name = m_szPath;
        for (const WCHAR* p = m_szPath; *p; ++p)
            if (*p == u'/' || *p == u'\\' || *p == u':') name = p + 1;
        const WCHAR* end = name + platform::WideLength(name);
        for (const WCHAR* p = end; p > name; --p)
            if (p[-1] == u'.') {
                end = p - 1;
                break;
            }
        size_t n = std::min<size_t>(static_cast<size_t>(end - name), static_cast<size_t>(capacity) - 1);
        std::memcpy(text, name, n * sizeof(WCHAR));
        text[n] = 0;
    }
    return S_OK;
}

HRESULT CZuVstEffect::FetchVendorOrProduct(int32_t opcode, WCHAR* text, int32_t capacity)
{
    if (!text || capacity <= 0) return E_INVALIDARG;
    text[0] = 0;
    if (IsUnchosenShell()) return ZU_E_NOTINITIALIZED;
    DispatchGetString(opcode, 0, text, capacity);
    return S_OK;
}

HRESULT CZuVstEffect::GetVendorString(WCHAR* text, int32_t capacity)
{
    return FetchVendorOrProduct(effGetVendorString, text, capacity);
}

HRESULT CZuVstEffect::GetProductString(WCHAR* text, int32_t capacity)
{
    return FetchVendorOrProduct(effGetProductString, text, capacity);
}

HRESULT CZuVstEffect::GetInfo(ZUVSTEFFECTINFO* info)
{
    if (!info) return E_INVALIDARG;
    if (!m_pEffect || IsUnchosenShell()) return ZU_E_NOTINITIALIZED;
    std::memset(info, 0, sizeof(*info));
    info->uniqueID = m_pEffect->uniqueID;
    info->version = m_pEffect->version;
    info->vendorVersion = static_cast<int32_t>(Dispatch(effGetVendorVersion));
    info->numPrograms = m_pEffect->numPrograms;
    info->numParams = m_pEffect->numParams;
    info->numInputs = m_pEffect->numInputs;
    info->numOutputs = m_pEffect->numOutputs;
    info->initialDelay = m_pEffect->initialDelay;
    info->flags = m_pEffect->flags;
    return S_OK;
}

HRESULT CZuVstEffect::ShellGetNextPlugin(int32_t* uniqueID, WCHAR* name, int32_t capacity)
{
    const bool haveName = name && capacity > 0;
    if (haveName) name[0] = 0;
    if (!(StateBits() & EFFECT_IS_SHELL)) return S_FALSE;
    char buffer[kShellNameBytes + 256] = {};
    const intptr_t next = Dispatch(effShellGetNextPlugin, 0, 0, buffer);
    if (uniqueID) *uniqueID = static_cast<int32_t>(next);
    if (haveName) {
        platform::Utf8ToWide(buffer, kShellNameBytes, name, static_cast<size_t>(capacity));
        name[capacity - 1] = 0;
    }
    return next == 0 ? S_FALSE : S_OK;
}

HRESULT CZuVstEffect::SetMaster(IUnknown* master)
{
    if (IZuVstMaster* old = m_pMaster) {
        m_pMaster = nullptr;
        old->Release();
    }
    if (!master) return S_FALSE;
    void* obtained = nullptr;
    const HRESULT hr = master->QueryInterface(IID_IZuVstMaster, &obtained);
    m_pMaster = SUCCEEDED(hr) ? static_cast<IZuVstMaster*>(obtained) : nullptr;
    return hr;
}

HRESULT CZuVstEffect::Idle()
{
    if (m_idleGuard.load(std::memory_order_relaxed)) return S_OK;
    m_idleGuard.exchange(1);
    Dispatch(effIdle);
    m_idleGuard.exchange(0);
    return S_OK;
}

HRESULT CZuVstEffect::Stop(BOOL suspend)
{
    HRESULT result = S_FALSE;
    if (StateBits() & EFFECT_PROCESSING) {
        Dispatch(effStopProcess);
        ClearState(EFFECT_PROCESSING);
        result = S_OK;
    }
    if (suspend && (StateBits() & EFFECT_RESUMED)) {
        Dispatch(effMainsChanged, 0, 0);
        ClearState(EFFECT_RESUMED);
        result = S_OK;
    }
    return result;
}

HRESULT CZuVstEffect::Start(BOOL forceResume)
{
    HRESULT result = S_FALSE;
    const bool wasResumed = StateBits() & EFFECT_RESUMED;
    if (forceResume || !wasResumed) {
        Dispatch(effMainsChanged, 0, 1);
        result = S_OK;
    }
    if (!(StateBits() & EFFECT_PROCESSING) || !wasResumed) {
        Dispatch(effStartProcess);
        SetState(EFFECT_PROCESSING);
        result = S_OK;
    }
    SetState(EFFECT_RESUMED);
    return result;
}

HRESULT CZuVstEffect::SetSampleRate(double rate)
{
    if (static_cast<double>(m_sampleRate) == rate) return S_FALSE;
    m_sampleRate = static_cast<float>(rate);
    Dispatch(effSetSampleRate, 0, 0, nullptr, m_sampleRate);
    return S_OK;
}

HRESULT CZuVstEffect::SetBlockSize(int32_t size)
{
    if (size == m_blockSize) return S_FALSE;
    m_blockSize = size;
    Dispatch(effSetBlockSize, 0, size);
    if (m_pEffect) {
        for (int32_t id : g_rgBlockSizeRefreshIDs) {
            if (id != m_pEffect->uniqueID) continue;
            float value = 0.0f;
            GetParameter(0, &value);
            SetParameter(0, value);
            break;
        }
    }
    return S_OK;
}

HRESULT CZuVstEffect::GetParameterProperties(int32_t index, ZUVSTPARAMPROPS* props)
{
    VstParameterProperties record {};
    if (Dispatch(effGetParameterProperties, index, 0, &record) == 0) return E_NOTIMPL;
    if (!props) return S_OK;
    std::memset(props, 0, sizeof(*props));
    platform::Utf8ToWide(record.label, sizeof(record.label), props->label, 64);
    props->label[63] = 0;
    platform::Utf8ToWide(record.shortLabel, sizeof(record.shortLabel), props->shortLabel, 8);
    props->shortLabel[7] = 0;
    props->stepFloat = record.stepFloat;
    props->smallStepFloat = record.smallStepFloat;
    props->largeStepFloat = record.largeStepFloat;
    props->minInteger = record.minInteger;
    props->maxInteger = record.maxInteger;
    props->stepInteger = record.stepInteger;
    props->largeStepInteger = record.largeStepInteger;
    props->flags = record.flags;
    return S_OK;
}

HRESULT CZuVstEffect::GetParameterName(int32_t index, WCHAR* text, int32_t capacity)
{
    if (text) DispatchGetString(effGetParamName, index, text, capacity);
    return S_OK;
}

HRESULT CZuVstEffect::GetParameterDisplay(int32_t index, WCHAR* text, int32_t capacity)
{
    if (text) DispatchGetString(effGetParamDisplay, index, text, capacity);
    return S_OK;
}

HRESULT CZuVstEffect::GetParameterLabel(int32_t index, WCHAR* text, int32_t capacity)
{
    if (text) DispatchGetString(effGetParamLabel, index, text, capacity);
    return S_OK;
}

HRESULT CZuVstEffect::GetParameter(int32_t index, float* value)
{
    if (!value) return E_INVALIDARG;
    AEffect* const effect = m_pEffect;
    if (!effect) return ZU_E_NOTINITIALIZED;
    const bool completed = GuardedPluginCall([&] {
        float v = effect->getParameter(effect, index);
        if (v < 0.0f) v = 0.0f;
        if (v > 1.0f) v = 1.0f;
        *value = v;
    });
    if (completed) return S_OK;
    *value = 0.0f;
    return ZU_E_EXCEPTION;
}

HRESULT CZuVstEffect::SetParameter(int32_t index, float value)
{
    AEffect* const effect = m_pEffect;
    if (!effect) return ZU_E_NOTINITIALIZED;
    return GuardedPluginCall([&] { effect->setParameter(effect, index, value); }) ? S_OK : ZU_E_EXCEPTION;
}

HRESULT CZuVstEffect::GetInitialDelay(int32_t* samples)
{
    if (!samples) return E_INVALIDARG;
    if (!m_pEffect) return ZU_E_NOTINITIALIZED;
    *samples = m_pEffect->initialDelay < 0 ? 0 : m_pEffect->initialDelay;
    return S_OK;
}

HRESULT CZuVstEffect::GetTailSize(int32_t* samples)
{
    if (!samples) return E_INVALIDARG;
    const intptr_t tail = Dispatch(effGetTailSize);
    *samples = tail < 2 ? 0 : static_cast<int32_t>(tail);
    return S_OK;
}

HRESULT CZuVstEffect::Reserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                               uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                               uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    return E_NOTIMPL;
}

HRESULT CZuVstEffect::GetProgram(int32_t* program)
{
    if (!program) return E_INVALIDARG;
    *program = static_cast<int32_t>(Dispatch(effGetProgram));
    return S_OK;
}

void CZuVstEffect::SwitchProgram(intptr_t program)
{
    Dispatch(effBeginSetProgram);
    Dispatch(effSetProgram, 0, program);
    Dispatch(effEndSetProgram);
}

HRESULT CZuVstEffect::SetProgram(int32_t program)
{
    if (Dispatch(effGetProgram) == program) return S_FALSE;
    if (program < 0 || !m_pEffect || program >= m_pEffect->numPrograms) return E_INVALIDARG;
    SwitchProgram(program);
    return S_OK;
}

HRESULT CZuVstEffect::GetProgramName(int32_t index, WCHAR* text, int32_t capacity)
{
    if (!text || capacity <= 0) return E_INVALIDARG;
    text[0] = 0;
    if (index == -1) {
        DispatchGetString(effGetProgramName, 0, text, capacity);
        return E_INVALIDARG;
    }
    const int32_t programs = m_pEffect ? m_pEffect->numPrograms : 0;
    if (index < -1) return E_INVALIDARG;
    if (index >= programs) return programs == 0 ? S_FALSE : E_INVALIDARG;
    if (DispatchGetString(effGetProgramNameIndexed, index, text, capacity) != 0) return S_OK;
    const intptr_t current = Dispatch(effGetProgram);
    if (current == index) {
        DispatchGetString(effGetProgramName, 0, text, capacity);
        return S_OK;
    }
    SwitchProgram(index);
    DispatchGetString(effGetProgramName, 0, text, capacity);
    SwitchProgram(current);
    return S_OK;
}

HRESULT CZuVstEffect::SetProgramName(const WCHAR* text)
{
    if (!text) return E_INVALIDARG;
    WCHAR current[64];
    DispatchGetString(effGetProgramName, 0, current, 64);
    if (platform::CompareWide(current, text) == 0) return S_FALSE;
    DispatchSetString(effSetProgramName, 0, text);
    return S_OK;
}

HRESULT CZuVstEffect::EditorOpen(ZUWINDOW parent, ZURECT* rect)
{
    HRESULT result = S_FALSE;
    if (!(StateBits() & EFFECT_EDITOR_OPEN)) {
        Dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(parent));
        SetState(EFFECT_EDITOR_OPEN);
        Dispatch(effSetEditKnobMode, 0, 2);
        result = S_OK;
    }
    if (rect) {
        ERect* plugRect = nullptr;
        Dispatch(effEditGetRect, 0, 0, &plugRect);
        if (plugRect) {
            // The rectangle lives in the plug-in's memory: read it under a guard.
            ERect r {};
            if (GuardedPluginCall([&] { r = *plugRect; })) {
                rect->left = r.left;
                rect->top = r.top;
                rect->right = r.right;
                rect->bottom = r.bottom;
                if (rect->right < rect->left) std::swap(rect->left, rect->right);
                if (rect->bottom < rect->top) std::swap(rect->top, rect->bottom);
            }
        }
    }
    return result;
}

HRESULT CZuVstEffect::EditorIdle()
{
    if ((StateBits() & EFFECT_EDITOR_OPEN) && !m_editIdleGuard.load(std::memory_order_relaxed)) {
        m_editIdleGuard.exchange(1);
        Dispatch(effEditIdle);
        m_editIdleGuard.exchange(0);
    }
    if ((StateBits() & EFFECT_WANTS_IDLE) && !m_idleGuard.load(std::memory_order_relaxed)) {
        m_idleGuard.exchange(1);
        Dispatch(effIdle);
        m_idleGuard.exchange(0);
    }
    return S_OK;
}

HRESULT CZuVstEffect::EditorClose()
{
    if (!(StateBits() & EFFECT_EDITOR_OPEN)) return S_FALSE;
    Dispatch(effEditClose);
    ClearState(EFFECT_EDITOR_OPEN);
    return S_OK;
}


} // namespace zuvst
