// Helpers for tests that run plug-ins in a server process.
#ifndef ZUVST_TESTS_OOP_SUPPORT_H
#define ZUVST_TESTS_OOP_SUPPORT_H

#include <string>

#include "effect/test_support.h"

// The control block of the test plug-in is shared with the servers through this file.
const std::string& SharedControlFile();

// A factory of a fresh server (or the running one), released with the holder.
struct ServerFactory {
    explicit ServerFactory(const WCHAR* vendor = nullptr, const WCHAR* product = nullptr);
    ~ServerFactory();
    IZuVstEffectFactory* operator->() const { return factory; }
    IZuVstEffect* Create(const std::u16string& path, int32_t uniqueID = 0, HRESULT* status = nullptr);
    IZuVstEffectFactory* factory = nullptr;
    uint32_t pid = 0;
    HRESULT status = E_FAIL;
};

bool ProcessGone(uint32_t pid, int timeoutMs);
// How the last server ended, once the crash-report library has seen it end.
ZUVSTSERVEREND WaitForServerEnd(int timeoutMs);
// The first child process of parent (0 when none appears in time).
uint32_t ChildOf(uint32_t parent, int timeoutMs);

#endif
