// Base types shared by hosts, the server and the marshalling library.
#ifndef ZUVST_TYPES_H
#define ZUVST_TYPES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define ZUVST_EXPORT __declspec(dllexport)
#else
#define ZUVST_EXPORT __attribute__((visibility("default")))
#endif

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef char16_t WCHAR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

// Identifiers are compared as 16-byte values.
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

// Status codes.
#define ZU_HR(x) (static_cast<HRESULT>(static_cast<uint32_t>(x)))
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_INVALIDARG = ZU_HR(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = ZU_HR(0x8007000E);
constexpr HRESULT E_UNEXPECTED = ZU_HR(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = ZU_HR(0x80004001);
constexpr HRESULT E_NOINTERFACE = ZU_HR(0x80004002);
constexpr HRESULT E_POINTER = ZU_HR(0x80004003);
constexpr HRESULT E_FAIL = ZU_HR(0x80004005);
constexpr HRESULT CLASS_E_NOAGGREGATION = ZU_HR(0x80040110);
constexpr HRESULT RPC_E_DISCONNECTED = ZU_HR(0x80010108);

constexpr HRESULT ZU_S_NOTCONFIGURED = ZU_HR(0x0004E005);
constexpr HRESULT ZU_E_WORKERSTART = ZU_HR(0x8004E003);
constexpr HRESULT ZU_E_PRESETMISMATCH = ZU_HR(0x8004E00B);
constexpr HRESULT ZU_E_CANCELLED = ZU_HR(0x8004E00C);
constexpr HRESULT ZU_E_EXCEPTION = ZU_HR(0x8004E017);
constexpr HRESULT ZU_E_NOTINITIALIZED = ZU_HR(0x8004E01B);

// Platform errors carried as statuses (module not found, bad image, missing entry point).
constexpr HRESULT ZU_E_MOD_NOT_FOUND = ZU_HR(0x8007007E);
constexpr HRESULT ZU_E_PROC_NOT_FOUND = ZU_HR(0x8007007F);
constexpr HRESULT ZU_E_BAD_EXE_FORMAT = ZU_HR(0x800700C1);
// A probe given up inside a library's own initialisation still holds the dynamic loader: no further
// library can be loaded in this process (ERROR_POSSIBLE_DEADLOCK).
constexpr HRESULT ZU_E_LOADER_HUNG = ZU_HR(0x8007046B);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr HRESULT HRESULT_FROM_WIN32(uint32_t code)
{
    return static_cast<int32_t>(code) <= 0 ? static_cast<HRESULT>(code)
                                           : ZU_HR(0x80070000u | (code & 0xFFFFu));
}

// Sample types of the host side of the audio path.
typedef int32_t ZUSAMPLETYPE;
enum : int32_t {
    ZUSAMPLETYPE_NONE = 0,
    ZUSAMPLETYPE_PCM8 = 16,
    ZUSAMPLETYPE_PCM16 = 17,
    ZUSAMPLETYPE_PCM24 = 18,
    ZUSAMPLETYPE_PCM32 = 19,
    ZUSAMPLETYPE_FLOAT32 = 32,
    ZUSAMPLETYPE_FLOAT64 = 33,
    ZUSAMPLETYPE_PCM24_UNPACKED = 48,
    ZUSAMPLETYPE_PCM8_SIGNED = 49,
    ZUSAMPLETYPE_PCM16_BE = 64,
    ZUSAMPLETYPE_PCM24_BE = 65,
    ZUSAMPLETYPE_PCM32_BE = 66,
    ZUSAMPLETYPE_PCM16_RA = 128,
    ZUSAMPLETYPE_PCM24_RA = 129,
};

// An X11 window id on Linux.
typedef uintptr_t ZUWINDOW;

struct ZURECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
static_assert(sizeof(ZURECT) == 16, "ZURECT is 16 bytes");

// The information record of an effect.
struct ZUVSTEFFECTINFO {
    int32_t uniqueID;      // 0
    int32_t version;       // 4
    int32_t vendorVersion; // 8
    int32_t numPrograms;   // 12
    int32_t numParams;     // 16
    int32_t numInputs;     // 20
    int32_t numOutputs;    // 24
    int32_t initialDelay;  // 28
    int32_t flags;         // 32
};
static_assert(sizeof(ZUVSTEFFECTINFO) == 36, "ZUVSTEFFECTINFO is 36 bytes");
static_assert(offsetof(ZUVSTEFFECTINFO, vendorVersion) == 8, "layout");
static_assert(offsetof(ZUVSTEFFECTINFO, flags) == 32, "layout");

// Parameter properties as the host sees them.
struct ZUVSTPARAMPROPS {
    WCHAR label[64];          // 0
    WCHAR shortLabel[8];      // 128
    float stepFloat;          // 144
    float smallStepFloat;     // 148
    float largeStepFloat;     // 152
    int32_t minInteger;       // 156
    int32_t maxInteger;       // 160
    int32_t stepInteger;      // 164
    int32_t largeStepInteger; // 168
    int32_t flags;            // 172
};
static_assert(sizeof(ZUVSTPARAMPROPS) == 176, "ZUVSTPARAMPROPS is 176 bytes");
static_assert(offsetof(ZUVSTPARAMPROPS, shortLabel) == 128, "layout");
static_assert(offsetof(ZUVSTPARAMPROPS, stepFloat) == 144, "layout");
static_assert(offsetof(ZUVSTPARAMPROPS, minInteger) == 156, "layout");
static_assert(offsetof(ZUVSTPARAMPROPS, flags) == 172, "layout");

// Time information that the host fills in IZuVstMaster::GetTime.
struct ZUVSTTIMEINFO {
    double samplePos;           // 0
    int32_t timeSigNumerator;   // 8
    int32_t timeSigDenominator; // 12
    double tempo;               // 16
    double ppqPos;              // 24
    double barStartPos;         // 32
    double cycleStartPos;       // 40
    double cycleEndPos;         // 48
    uint32_t flags;             // 56
    uint32_t reserved;          // 60
};
static_assert(sizeof(ZUVSTTIMEINFO) == 64, "ZUVSTTIMEINFO is 64 bytes");
static_assert(offsetof(ZUVSTTIMEINFO, tempo) == 16, "layout");
static_assert(offsetof(ZUVSTTIMEINFO, cycleEndPos) == 48, "layout");
static_assert(offsetof(ZUVSTTIMEINFO, flags) == 56, "layout");

enum : uint32_t {
    ZUVSTTIME_TIMESIG_VALID = 0x1,
    ZUVSTTIME_TEMPO_VALID = 0x2,
    ZUVSTTIME_PPQPOS_VALID = 0x4,
    ZUVSTTIME_BARSTART_VALID = 0x8,
    ZUVSTTIME_CYCLE_VALID = 0x10,
    ZUVSTTIME_TRANSPORT_CHANGED = 0x20,
    ZUVSTTIME_PLAYING = 0x40,
    ZUVSTTIME_CYCLE_ACTIVE = 0x80,
    ZUVSTTIME_RECORDING = 0x100,
};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

enum : uint32_t { ZU_STREAM_SEEK_SET = 0, ZU_STREAM_SEEK_CUR = 1, ZU_STREAM_SEEK_END = 2 };

// A byte stream for presets.
struct IStream : IUnknown {
    virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
    virtual HRESULT Seek(int64_t move, uint32_t origin, uint64_t* newPosition) = 0;

protected:
    ~IStream() = default;
};

#endif
