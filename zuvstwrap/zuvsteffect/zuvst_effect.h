// CZuVstEffect: one loaded instance of a VST 2 plug-in, driven through IZuVstEffect.
#ifndef ZUVST_ZUVST_EFFECT_H
#define ZUVST_ZUVST_EFFECT_H

#include <atomic>
#include <mutex>

#include "platform/library.h"
#include "zuvst/interfaces.h"
#include "zuvst/support.h"
#include "zuvstwrap/zuvsteffect/vst2_abi.h"

namespace zuvst {

constexpr uint32_t EFFECT_EDITOR_OPEN = 0x1;
constexpr uint32_t EFFECT_WANTS_IDLE = 0x2;
constexpr uint32_t EFFECT_IS_SHELL = 0x4;
constexpr uint32_t EFFECT_PROCESSING = 0x8;
constexpr uint32_t EFFECT_RESUMED = 0x10;

constexpr size_t kPathUnits = 260;

class CZuVstEffect final : public IZuVstEffect {
public:
    // Loads the plug-in; the object is returned whatever the status, which goes to *status.
    CZuVstEffect(const WCHAR* path, int32_t uniqueID, HRESULT* status);

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetEffectName(WCHAR* text, int32_t capacity) override;
    HRESULT GetVendorString(WCHAR* text, int32_t capacity) override;
    HRESULT GetProductString(WCHAR* text, int32_t capacity) override;
    HRESULT GetInfo(ZUVSTEFFECTINFO* info) override;
    HRESULT ShellGetNextPlugin(int32_t* uniqueID, WCHAR* name, int32_t capacity) override;
    HRESULT SetMaster(IUnknown* master) override;
    HRESULT Idle() override;
    HRESULT Stop(BOOL suspend) override;
    HRESULT Start(BOOL forceResume) override;
    HRESULT SetSampleRate(double rate) override;
    HRESULT SetSampleType(ZUSAMPLETYPE type) override;
    HRESULT SetBlockSize(int32_t size) override;
    HRESULT GetParameterProperties(int32_t index, ZUVSTPARAMPROPS* props) override;
    HRESULT GetParameterName(int32_t index, WCHAR* text, int32_t capacity) override;
    HRESULT GetParameterDisplay(int32_t index, WCHAR* text, int32_t capacity) override;
    HRESULT GetParameterLabel(int32_t index, WCHAR* text, int32_t capacity) override;
    HRESULT GetParameter(int32_t index, float* value) override;
    HRESULT SetParameter(int32_t index, float value) override;
    HRESULT GetInitialDelay(int32_t* samples) override;
    HRESULT GetTailSize(int32_t* samples) override;
    HRESULT Process(const void* input, int32_t inChannels, void* output, int32_t outChannels, int32_t frames,
                    int32_t bytesPerSample) override;
    HRESULT Reserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                     uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                     uint32_t, uint32_t, uint32_t) override;
    HRESULT GetProgram(int32_t* program) override;
    HRESULT SetProgram(int32_t program) override;
    HRESULT GetProgramName(int32_t index, WCHAR* text, int32_t capacity) override;
    HRESULT SetProgramName(const WCHAR* text) override;
    HRESULT SaveProgram(IStream* stream, uint32_t* written) override;
    HRESULT LoadProgram(IStream* stream) override;
    HRESULT SaveBank(IStream* stream, uint32_t* written) override;
    HRESULT LoadBank(IStream* stream, int32_t program) override;
    HRESULT EditorOpen(ZUWINDOW parent, ZURECT* rect) override;
    HRESULT EditorIdle() override;
    HRESULT EditorClose() override;

    // The guarded dispatcher forms; each answers -1 after a fault or without a descriptor.
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);
    intptr_t DispatchGetString(int32_t opcode, int32_t index, WCHAR* text, int32_t capacity);
    intptr_t DispatchSetString(int32_t opcode, int32_t index, const WCHAR* text);

    uint32_t StateBits() const { return m_state.load(std::memory_order_relaxed); }
    vst2::AEffect* Descriptor() const { return m_pEffect; }

private:
    friend intptr_t HostCallback(vst2::AEffect*, int32_t, int32_t, intptr_t, void*, float);

    ~CZuVstEffect();
    HRESULT LoadPlugin(const WCHAR* path, int32_t uniqueID);
    void UnloadPlugin();
    bool IsUnchosenShell() const;
    HRESULT FetchVendorOrProduct(int32_t opcode, WCHAR* text, int32_t capacity);
    void SetState(uint32_t bits) { m_state.fetch_or(bits, std::memory_order_relaxed); }
    void ClearState(uint32_t bits) { m_state.fetch_and(~bits, std::memory_order_relaxed); }
    void SwitchProgram(intptr_t program);
    bool EnsureChannelBuffers(int32_t frames, int32_t inputs, int32_t outputs);
    void ReleaseChannelBuffers();
    void DistributeInput(const void* input, int32_t inChannels, int32_t frames, int32_t inputs, int32_t outputs);
    void CollectOutput(void* output, int32_t outChannels, int32_t frames, int32_t outputs);
    // Presets.
    void ProgramNameField(char field[28]);
    HRESULT SaveChunkRecord(IStream* stream, uint32_t* written, int32_t index, const char* name);
    HRESULT LoadChunk(IStream* stream, int32_t headBytes, int32_t index, const char** nameField, char* head);

    int32_t m_cRef = 1;
    std::mutex m_loadLock;
    WCHAR m_szPath[kPathUnits] = {};
    platform::LibraryHandle m_hLibrary = nullptr;
    vst2::AEffect* m_pEffect = nullptr;
    IZuVstMaster* m_pMaster = nullptr;
    std::atomic<uint32_t> m_state {0};
    float m_sampleRate = 0.0f;
    int32_t m_blockSize = 0;
    std::atomic<int32_t> m_idleGuard {0};
    std::atomic<int32_t> m_editIdleGuard {0};
    vst2::VstTimeInfo m_timeInfo {};
    // Answer to audioMasterGetDirectory; the plug-in may read it after the callback returns.
    char m_szDirectory[vst2::kStringBufferBytes] = {};
    float** m_ppInputs = nullptr;
    float** m_ppOutputs = nullptr;
    int32_t m_bufferCapacity = 0;
    int32_t m_tableInputs = 0; // the channel counts the tables were made for
    int32_t m_tableOutputs = 0;
    ZUSAMPLETYPE m_hostSampleType = ZUSAMPLETYPE_FLOAT32;
    ZUSAMPLETYPE m_pluginSampleType = ZUSAMPLETYPE_FLOAT32;
    ZUCOPYCHANNELSPROC m_pfnInputKernel = nullptr;
    ZUCOPYCHANNELSPROC m_pfnOutputKernel = nullptr;
};

// Unique IDs of the plug-ins whose parameter 0 is set again after a block-size change.
extern const int32_t g_rgBlockSizeRefreshIDs[6];

} // namespace zuvst

#endif
