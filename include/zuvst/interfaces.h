// The three interfaces of the effect server, slots in call-layout order.
#ifndef ZUVST_INTERFACES_H
#define ZUVST_INTERFACES_H

#include "zuvst/types.h"

// The factory: slots 0-4 from IClassFactory, then 5 and 6.
struct IZuVstEffectFactory : IClassFactory {
    virtual HRESULT ProbeEffect(const WCHAR* path, int32_t uniqueID, WCHAR* effectName, WCHAR* vendor,
                                WCHAR* product, ZUVSTEFFECTINFO* info, uint32_t timeLimit) = 0; // 5
    virtual HRESULT CreateEffect(const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv) = 0; // 6

protected:
    ~IZuVstEffectFactory() = default;
};

// One loaded plug-in.
struct IZuVstEffect : IUnknown {
    virtual HRESULT GetEffectName(WCHAR* text, int32_t capacity) = 0;                              // 3
    virtual HRESULT GetVendorString(WCHAR* text, int32_t capacity) = 0;                            // 4
    virtual HRESULT GetProductString(WCHAR* text, int32_t capacity) = 0;                           // 5
    virtual HRESULT GetInfo(ZUVSTEFFECTINFO* info) = 0;                                            // 6
    virtual HRESULT ShellGetNextPlugin(int32_t* uniqueID, WCHAR* name, int32_t capacity) = 0;      // 7
    virtual HRESULT SetMaster(IUnknown* master) = 0;                                               // 8
    virtual HRESULT Idle() = 0;                                                                    // 9
    virtual HRESULT Stop(BOOL suspend) = 0;                                                        // 10
    virtual HRESULT Start(BOOL forceResume) = 0;                                                   // 11
    virtual HRESULT SetSampleRate(double rate) = 0;                                                // 12
    virtual HRESULT SetSampleType(ZUSAMPLETYPE type) = 0;                                          // 13
    virtual HRESULT SetBlockSize(int32_t size) = 0;                                                // 14
    virtual HRESULT GetParameterProperties(int32_t index, ZUVSTPARAMPROPS* props) = 0;             // 15
    virtual HRESULT GetParameterName(int32_t index, WCHAR* text, int32_t capacity) = 0;            // 16
    virtual HRESULT GetParameterDisplay(int32_t index, WCHAR* text, int32_t capacity) = 0;         // 17
    virtual HRESULT GetParameterLabel(int32_t index, WCHAR* text, int32_t capacity) = 0;           // 18
    virtual HRESULT GetParameter(int32_t index, float* value) = 0;                                 // 19
    virtual HRESULT SetParameter(int32_t index, float value) = 0;                                  // 20
    virtual HRESULT GetInitialDelay(int32_t* samples) = 0;                                         // 21
    virtual HRESULT GetTailSize(int32_t* samples) = 0;                                             // 22
    virtual HRESULT Process(const void* input, int32_t inChannels, void* output, int32_t outChannels,
                            int32_t frames, int32_t bytesPerSample) = 0;                           // 23
    virtual HRESULT Reserved(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                             uint32_t a7, uint32_t a8, uint32_t a9, uint32_t a10, uint32_t a11,
                             uint32_t a12, uint32_t a13, uint32_t a14, uint32_t a15, uint32_t a16,
                             uint32_t a17, uint32_t a18, uint32_t a19, uint32_t a20,
                             uint32_t a21) = 0;                                                    // 24
    virtual HRESULT GetProgram(int32_t* program) = 0;                                              // 25
    virtual HRESULT SetProgram(int32_t program) = 0;                                               // 26
    virtual HRESULT GetProgramName(int32_t index, WCHAR* text, int32_t capacity) = 0;              // 27
    virtual HRESULT SetProgramName(const WCHAR* text) = 0;                                         // 28
    virtual HRESULT SaveProgram(IStream* stream, uint32_t* written) = 0;                           // 29
    virtual HRESULT LoadProgram(IStream* stream) = 0;                                              // 30
    virtual HRESULT SaveBank(IStream* stream, uint32_t* written) = 0;                              // 31
    virtual HRESULT LoadBank(IStream* stream, int32_t program) = 0;                                // 32
    virtual HRESULT EditorOpen(ZUWINDOW parent, ZURECT* rect) = 0;                                 // 33
    virtual HRESULT EditorIdle() = 0;                                                              // 34
    virtual HRESULT EditorClose() = 0;                                                             // 35

protected:
    ~IZuVstEffect() = default;
};

// The host's callback object.
struct IZuVstMaster : IUnknown {
    virtual HRESULT Automate(int32_t index, float value) = 0;      // 3
    virtual HRESULT Idle() = 0;                                    // 4
    virtual HRESULT UpdateDisplay() = 0;                           // 5
    virtual HRESULT GetTime(ZUVSTTIMEINFO* time) = 0;              // 6
    virtual HRESULT TempoAt(int32_t samplePos, int32_t* tempo) = 0; // 7
    virtual HRESULT SizeWindow(int32_t width, int32_t height) = 0; // 8
    virtual HRESULT BeginEdit(int32_t index) = 0;                  // 9
    virtual HRESULT EndEdit(int32_t index) = 0;                    // 10

protected:
    ~IZuVstMaster() = default;
};

#endif
