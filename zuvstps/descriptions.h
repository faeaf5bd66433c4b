// The slots of every marshalled interface, each listed once: transport, slot number, name, parameters,
// argument names, then one argument kind per parameter. Proxies and stubs are generated from these lists.
#ifndef ZUVST_ZUVSTPS_DESCRIPTIONS_H
#define ZUVST_ZUVSTPS_DESCRIPTIONS_H

#include "zuvstps/slot.h"

namespace zuvst::ps {
using namespace kinds;

// Slot 0 of every interface; AddRef and Release stay local to each side.
using QueryInterfaceSlot = Slot<&IUnknown::QueryInterface, InIid, OutIface<0>>;

#define ZUPS_SLOTS_IUnknown(S)

#define ZUPS_SLOTS_IClassFactory(S)                                                                         \
    S(Socket, 3, CreateInstance, (IUnknown * outer, REFIID riid, void** ppv), (outer, riid, ppv),           \
      InIface<IUnknown>, InIid, OutIface<1>)                                                                \
    S(Socket, 4, LockServer, (BOOL lock), (lock), In<BOOL>)

#define ZUPS_SLOTS_IZuVstEffectFactory(S)                                                                   \
    ZUPS_SLOTS_IClassFactory(S)                                                                             \
    S(Socket, 5, ProbeEffect,                                                                               \
      (const WCHAR* path, int32_t uniqueID, WCHAR* effectName, WCHAR* vendor, WCHAR* product,               \
       ZUVSTEFFECTINFO* info, uint32_t timeLimit),                                                          \
      (path, uniqueID, effectName, vendor, product, info, timeLimit), InText, In<int32_t>,                  \
      OutFixedText<64>, OutFixedText<64>, OutFixedText<64>, InOut<ZUVSTEFFECTINFO>, In<uint32_t>)           \
    S(Socket, 6, CreateEffect, (const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv),              \
      (path, uniqueID, riid, ppv), InText, In<int32_t>, InIid, OutIface<2>)

#define ZUPS_SLOTS_IZuVstEffect(S)                                                                          \
    S(Socket, 3, GetEffectName, (WCHAR * text, int32_t capacity), (text, capacity), OutText<1>, Capacity)    \
    S(Socket, 4, GetVendorString, (WCHAR * text, int32_t capacity), (text, capacity), OutText<1>, Capacity)  \
    S(Socket, 5, GetProductString, (WCHAR * text, int32_t capacity), (text, capacity), OutText<1>, Capacity) \
    S(Socket, 6, GetInfo, (ZUVSTEFFECTINFO * info), (info), InOut<ZUVSTEFFECTINFO>)                          \
    S(Socket, 7, ShellGetNextPlugin, (int32_t * uniqueID, WCHAR* name, int32_t capacity),                   \
      (uniqueID, name, capacity), InOut<int32_t>, OutText<2>, Capacity)                                     \
    S(Socket, 8, SetMaster, (IUnknown * master), (master), InIface<IUnknown>)                               \
    S(Socket, 9, Idle, (), (), )                                                                           \
    S(Socket, 10, Stop, (BOOL suspend), (suspend), In<BOOL>)                                                \
    S(Socket, 11, Start, (BOOL forceResume), (forceResume), In<BOOL>)                                       \
    S(Socket, 12, SetSampleRate, (double rate), (rate), In<double>)                                         \
    S(Socket, 13, SetSampleType, (ZUSAMPLETYPE type), (type), In<ZUSAMPLETYPE>)                             \
    S(Socket, 14, SetBlockSize, (int32_t size), (size), In<int32_t>)                                        \
    S(Socket, 15, GetParameterProperties, (int32_t index, ZUVSTPARAMPROPS* props), (index, props),           \
      In<int32_t>, InOut<ZUVSTPARAMPROPS>)                                                                  \
    S(Socket, 16, GetParameterName, (int32_t index, WCHAR* text, int32_t capacity), (index, text, capacity), \
      In<int32_t>, OutText<2>, Capacity)                                                                    \
    S(Socket, 17, GetParameterDisplay, (int32_t index, WCHAR* text, int32_t capacity),                      \
      (index, text, capacity), In<int32_t>, OutText<2>, Capacity)                                           \
    S(Socket, 18, GetParameterLabel, (int32_t index, WCHAR* text, int32_t capacity),                        \
      (index, text, capacity), In<int32_t>, OutText<2>, Capacity)                                           \
    S(Socket, 19, GetParameter, (int32_t index, float* value), (index, value), In<int32_t>, InOut<float>)    \
    S(Socket, 20, SetParameter, (int32_t index, float value), (index, value), In<int32_t>, In<float>)        \
    S(Socket, 21, GetInitialDelay, (int32_t * samples), (samples), InOut<int32_t>)                          \
    S(Socket, 22, GetTailSize, (int32_t * samples), (samples), InOut<int32_t>)                              \
    S(Audio, 23, Process,                                                                                   \
      (const void* input, int32_t inChannels, void* output, int32_t outChannels, int32_t frames,            \
       int32_t bytesPerSample),                                                                             \
      (input, inChannels, output, outChannels, frames, bytesPerSample), AudioIn<1, 4, 5>, In<int32_t>,       \
      AudioOut<3, 4, 5>, In<int32_t>, In<int32_t>, In<int32_t>)                                             \
    S(Socket, 24, Reserved,                                                                                 \
      (uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7,           \
       uint32_t a8, uint32_t a9, uint32_t a10, uint32_t a11, uint32_t a12, uint32_t a13, uint32_t a14,      \
       uint32_t a15, uint32_t a16, uint32_t a17, uint32_t a18, uint32_t a19, uint32_t a20, uint32_t a21),   \
      (a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18, a19, a20, a21),     \
      In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>,      \
      In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>,      \
      In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>, In<uint32_t>)      \
    S(Socket, 25, GetProgram, (int32_t * program), (program), InOut<int32_t>)                               \
    S(Socket, 26, SetProgram, (int32_t program), (program), In<int32_t>)                                    \
    S(Socket, 27, GetProgramName, (int32_t index, WCHAR* text, int32_t capacity), (index, text, capacity),   \
      In<int32_t>, OutText<2>, Capacity)                                                                    \
    S(Socket, 28, SetProgramName, (const WCHAR* text), (text), InText)                                      \
    S(Socket, 29, SaveProgram, (IStream * stream, uint32_t* written), (stream, written), InIface<IStream>,   \
      InOut<uint32_t>)                                                                                      \
    S(Socket, 30, LoadProgram, (IStream * stream), (stream), InIface<IStream>)                              \
    S(Socket, 31, SaveBank, (IStream * stream, uint32_t* written), (stream, written), InIface<IStream>,      \
      InOut<uint32_t>)                                                                                      \
    S(Socket, 32, LoadBank, (IStream * stream, int32_t program), (stream, program), InIface<IStream>,        \
      In<int32_t>)                                                                                          \
    S(Socket, 33, EditorOpen, (ZUWINDOW parent, ZURECT* rect), (parent, rect), In<ZUWINDOW>, InOut<ZURECT>)   \
    S(Socket, 34, EditorIdle, (), (), )                                                                    \
    S(Socket, 35, EditorClose, (), (), )

#define ZUPS_SLOTS_IZuVstMaster(S)                                                                          \
    S(Socket, 3, Automate, (int32_t index, float value), (index, value), In<int32_t>, In<float>)            \
    S(Socket, 4, Idle, (), (), )                                                                           \
    S(Socket, 5, UpdateDisplay, (), (), )                                                                  \
    S(Socket, 6, GetTime, (ZUVSTTIMEINFO * time), (time), InOut<ZUVSTTIMEINFO>)                              \
    S(Socket, 7, TempoAt, (int32_t samplePos, int32_t* tempo), (samplePos, tempo), In<int32_t>,              \
      InOut<int32_t>)                                                                                       \
    S(Socket, 8, SizeWindow, (int32_t width, int32_t height), (width, height), In<int32_t>, In<int32_t>)     \
    S(Socket, 9, BeginEdit, (int32_t index), (index), In<int32_t>)                                          \
    S(Socket, 10, EndEdit, (int32_t index), (index), In<int32_t>)

#define ZUPS_SLOTS_IStream(S)                                                                               \
    S(Socket, 3, Read, (void* buffer, ULONG size, ULONG* read), (buffer, size, read), OutBytes<1, 2>,        \
      In<ULONG>, OutCount)                                                                                  \
    S(Socket, 4, Write, (const void* buffer, ULONG size, ULONG* written), (buffer, size, written),           \
      InBytes<1>, In<ULONG>, InOut<ULONG>)                                                                  \
    S(Socket, 5, Seek, (int64_t move, uint32_t origin, uint64_t* newPosition), (move, origin, newPosition),  \
      In<int64_t>, In<uint32_t>, InOut<uint64_t>)

// Every marshalled interface, with its own slot list.
#define ZUPS_INTERFACES(X)                                                                                  \
    X(IUnknown)                                                                                             \
    X(IClassFactory)                                                                                        \
    X(IZuVstEffectFactory)                                                                                  \
    X(IZuVstEffect)                                                                                         \
    X(IZuVstMaster)                                                                                         \
    X(IStream)

} // namespace zuvst::ps

#endif
