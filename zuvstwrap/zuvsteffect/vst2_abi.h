// The VST 2 binary interface as this system uses it: descriptor, records and opcodes.
// Offsets in comments are those of the 32-bit layout; the 64-bit ones follow from natural alignment.
#ifndef ZUVST_VST2_ABI_H
#define ZUVST_VST2_ABI_H

#include <cstddef>
#include <cstdint>

namespace zuvst::vst2 {

struct AEffect;

using HostCallbackProc = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                      void* ptr, float opt);
using DispatcherProc = intptr_t (*)(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                                    void* ptr, float opt);
using SetParameterProc = void (*)(AEffect* effect, int32_t index, float value);
using GetParameterProc = float (*)(AEffect* effect, int32_t index);
using ProcessProc = void (*)(AEffect* effect, float** inputs, float** outputs, int32_t frames);
using ProcessDoubleProc = void (*)(AEffect* effect, double** inputs, double** outputs, int32_t frames);
using EntryProc = AEffect* (*)(HostCallbackProc host);

constexpr int32_t kMagic = 0x56737450; // 'VstP'

struct AEffect {
    int32_t magic;                       // 0
    DispatcherProc dispatcher;           // 4
    void* process;                       // 8   (unused)
    SetParameterProc setParameter;       // 12
    GetParameterProc getParameter;       // 16
    int32_t numPrograms;                 // 20
    int32_t numParams;                   // 24
    int32_t numInputs;                   // 28
    int32_t numOutputs;                  // 32
    int32_t flags;                       // 36
    intptr_t resvd1;                     // 40  holds the effect object once bound
    intptr_t resvd2;                     // 44
    int32_t initialDelay;                // 48
    int32_t realQualities;               // 52
    int32_t offQualities;                // 56
    float ioRatio;                       // 60
    void* object;                        // 64
    void* user;                          // 68
    int32_t uniqueID;                    // 72
    int32_t version;                     // 76
    ProcessProc processReplacing;        // 80
    ProcessDoubleProc processDoubleReplacing; // 84
    char future[56];                     // 88
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(AEffect, dispatcher) == 4 && offsetof(AEffect, setParameter) == 12, "AEffect");
static_assert(offsetof(AEffect, numPrograms) == 20 && offsetof(AEffect, flags) == 36, "AEffect");
static_assert(offsetof(AEffect, resvd1) == 40 && offsetof(AEffect, initialDelay) == 48, "AEffect");
static_assert(offsetof(AEffect, uniqueID) == 72 && offsetof(AEffect, version) == 76, "AEffect");
static_assert(offsetof(AEffect, processReplacing) == 80 && sizeof(AEffect) == 144, "AEffect");
#else
static_assert(offsetof(AEffect, dispatcher) == 8 && offsetof(AEffect, setParameter) == 24, "AEffect");
static_assert(offsetof(AEffect, numPrograms) == 40 && offsetof(AEffect, flags) == 56, "AEffect");
static_assert(offsetof(AEffect, resvd1) == 64 && offsetof(AEffect, initialDelay) == 80, "AEffect");
static_assert(offsetof(AEffect, uniqueID) == 112 && offsetof(AEffect, version) == 116, "AEffect");
static_assert(offsetof(AEffect, processReplacing) == 120 && sizeof(AEffect) == 192, "AEffect");
#endif

constexpr int32_t effFlagsHasEditor = 0x1;
constexpr int32_t effFlagsCanReplacing = 0x10;
constexpr int32_t effFlagsCanMono = 0x8;
constexpr int32_t effFlagsProgramChunks = 0x20;

struct VstTimeInfo {
    double samplePos;           // 0
    double sampleRate;          // 8
    double nanoSeconds;         // 16
    double ppqPos;              // 24
    double tempo;               // 32
    double barStartPos;         // 40
    double cycleStartPos;       // 48
    double cycleEndPos;         // 56
    int32_t timeSigNumerator;   // 64
    int32_t timeSigDenominator; // 68
    int32_t smpteOffset;        // 72
    int32_t smpteFrameRate;     // 76
    int32_t samplesToNextClock; // 80
    int32_t flags;              // 84
};
static_assert(sizeof(VstTimeInfo) == 88 && offsetof(VstTimeInfo, timeSigNumerator) == 64, "VstTimeInfo");
static_assert(offsetof(VstTimeInfo, flags) == 84, "VstTimeInfo");

constexpr int32_t kVstTransportChanged = 0x1;
constexpr int32_t kVstTransportPlaying = 0x2;
constexpr int32_t kVstTransportCycleActive = 0x4;
constexpr int32_t kVstTransportRecording = 0x8;
constexpr int32_t kVstPpqPosValid = 0x200;
constexpr int32_t kVstTempoValid = 0x400;
constexpr int32_t kVstBarsValid = 0x800;
constexpr int32_t kVstCyclePosValid = 0x1000;
constexpr int32_t kVstTimeSigValid = 0x2000;

struct ERect {
    int16_t top;    // 0
    int16_t left;   // 2
    int16_t bottom; // 4
    int16_t right;  // 6
};
static_assert(sizeof(ERect) == 8, "ERect");

struct VstParameterProperties {
    float stepFloat;              // 0
    float smallStepFloat;         // 4
    float largeStepFloat;         // 8
    char label[64];               // 12
    int32_t flags;                // 76
    int32_t minInteger;           // 80
    int32_t maxInteger;           // 84
    int32_t stepInteger;          // 88
    int32_t largeStepInteger;     // 92
    char shortLabel[8];           // 96
    int16_t displayIndex;         // 104
    int16_t category;             // 106
    int16_t numParametersInCategory; // 108
    int16_t reserved;             // 110
    char categoryLabel[24];       // 112
    char future[16];              // 136
};
static_assert(sizeof(VstParameterProperties) == 152, "VstParameterProperties");
static_assert(offsetof(VstParameterProperties, flags) == 76, "VstParameterProperties");
static_assert(offsetof(VstParameterProperties, shortLabel) == 96, "VstParameterProperties");

// Dispatcher opcodes.
enum : int32_t {
    effOpen = 0,
    effClose = 1,
    effSetProgram = 2,
    effGetProgram = 3,
    effSetProgramName = 4,
    effGetProgramName = 5,
    effGetParamLabel = 6,
    effGetParamDisplay = 7,
    effGetParamName = 8,
    effSetSampleRate = 10,
    effSetBlockSize = 11,
    effMainsChanged = 12,
    effEditGetRect = 13,
    effEditOpen = 14,
    effEditClose = 15,
    effEditIdle = 19,
    effGetChunk = 23,
    effSetChunk = 24,
    effGetProgramNameIndexed = 29,
    effGetPlugCategory = 35,
    effGetEffectName = 45,
    effGetVendorString = 47,
    effGetProductString = 48,
    effGetVendorVersion = 49,
    effGetTailSize = 52,
    effIdle = 53,
    effGetParameterProperties = 56,
    effSetEditKnobMode = 61,
    effBeginSetProgram = 67,
    effEndSetProgram = 68,
    effShellGetNextPlugin = 70,
    effStartProcess = 71,
    effStopProcess = 72,
};

constexpr intptr_t kPlugCategShell = 10;

// Host callback opcodes.
enum : int32_t {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterCurrentId = 2,
    audioMasterIdle = 3,
    audioMasterGetTime = 7,
    audioMasterTempoAt = 10,
    audioMasterGetNumAutomatableParameters = 11,
    audioMasterNeedIdle = 14,
    audioMasterSizeWindow = 15,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterWillReplaceOrAccumulate = 22,
    audioMasterGetVendorString = 32,
    audioMasterGetProductString = 33,
    audioMasterCanDo = 37,
    audioMasterGetDirectory = 41,
    audioMasterUpdateDisplay = 42,
    audioMasterBeginEdit = 43,
    audioMasterEndEdit = 44,
};

// Sizes of the text buffers handed to plug-ins.
constexpr size_t kStringBufferBytes = 260;
constexpr size_t kShellNameBytes = 1024;

} // namespace zuvst::vst2

#endif
