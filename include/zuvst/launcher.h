// Routines a host links to reach an effect factory, in its own process or in a server.
#ifndef ZUVST_LAUNCHER_H
#define ZUVST_LAUNCHER_H

#include "zuvst/interfaces.h"

extern "C" {

ZUVST_EXPORT extern const IID IID_IUnknown;           // {00000000-0000-0000-C000-000000000046}
ZUVST_EXPORT extern const IID IID_IClassFactory;      // {00000001-0000-0000-C000-000000000046}
ZUVST_EXPORT extern const IID IID_IStream;            // {0000000C-0000-0000-C000-000000000046}
ZUVST_EXPORT extern const IID IID_IZuVstEffectFactory; // {5C2A7E91-3B6D-4F08-9E14-7A0C2B5D61F3}
ZUVST_EXPORT extern const IID IID_IZuVstEffect;       // {A17F0C3E-62B9-4D85-B3C2-19E4F7A08D56}
ZUVST_EXPORT extern const IID IID_IZuVstMaster;       // {7B94E2D1-8C05-4A6F-91D3-E25C0F4B8A17}

// Makes a factory in this process.
ZUVST_EXPORT HRESULT CreateEffectFactory(REFIID riid, void** ppv);

// Gets a factory: in this process, or from a server process (started when none runs).
ZUVST_EXPORT HRESULT ConnectEffectFactory(BOOL inProcess, REFIID riid, void** ppv, const WCHAR* vendor,
                                          const WCHAR* product, uint32_t* serverPid);
ZUVST_EXPORT HRESULT ReleaseEffectFactory(BOOL inProcess, IUnknown* factory);

// Creates an effect in this process when the plug-in is of this process's own format, else in a server.
ZUVST_EXPORT HRESULT CreateVstEffect(const WCHAR* path, int32_t uniqueID, REFIID riid, void** ppv);

// True for a library of the running process's own format and machine.
ZUVST_EXPORT BOOL IsX86PlugIn(const WCHAR* path);

ZUVST_EXPORT HRESULT RegisterProxyStub(const WCHAR* libraryPath, uint32_t* cookie);

// How the last server this process started ended, as the crash-report library recorded it.
enum : int32_t { ZUVST_SERVER_RUNNING = 0, ZUVST_SERVER_EXITED = 1, ZUVST_SERVER_KILLED = 2, ZUVST_SERVER_UNKNOWN = 3 };
struct ZUVSTSERVEREND {
    uint32_t pid;   // 0: no server was started
    int32_t state;  // ZUVST_SERVER_*
    int32_t code;   // the exit code, or the number of the signal that ended it
};
ZUVST_EXPORT HRESULT GetLastServerEnd(ZUVSTSERVEREND* end);
}

#endif
