// Loading plug-in libraries; failures come back as the statuses the interfaces report.
#ifndef ZUVST_PLATFORM_LIBRARY_H
#define ZUVST_PLATFORM_LIBRARY_H

#include "zuvst/types.h"

namespace zuvst::platform {

using LibraryHandle = void*;

// Loads a library (UTF-8 path). A missing file gives ZU_E_MOD_NOT_FOUND, a file that is not a loadable
// library of this architecture ZU_E_BAD_EXE_FORMAT.
HRESULT LoadLibrary(const char* path, LibraryHandle* handle);
// The handle of a library whose load was abandoned inside its own initialisation, holding the reference
// that load took, so that freeing it unloads the library; null when the library is not loaded.
LibraryHandle AdoptAbandonedLibrary(const char* path);
// A missing symbol gives ZU_E_PROC_NOT_FOUND.
HRESULT FindSymbol(LibraryHandle handle, const char* name, void** symbol);
void FreeLibrary(LibraryHandle handle);

// Threads inside LoadLibrary, that is inside the dynamic loader with its lock held while the library's
// own initialisation runs. A thread that was given up there (marked abandoned) and has not left makes
// every later load in the process wait for ever.
void MarkThreadAbandoned(uintptr_t threadToken);
bool AbandonedLoadInProgress();
// Forgets the calling thread's load in progress, for a thread that jumped out of one.
void ForgetLoadInProgress();
// A thread that ends forgets both marks, so that a later thread with the same id starts clean.
void ForgetThreadMarks();

// The dynamic loader's own locks as the calling thread holds them. A fault inside a library's own
// initialisation leaves the loader's locks held by the faulting thread, and every other thread that
// loads a library or starts a thread would wait for them for ever; restoring a snapshot taken before
// the load gives back what the abandoned load took.
struct LoaderLocks {
    static constexpr int kMax = 8;
    void* mutex[kMax] = {};
    unsigned count[kMax] = {};
    int n = 0;
};
LoaderLocks CaptureLoaderLocks();
// Returns how many lock levels were given back.
int RestoreLoaderLocks(const LoaderLocks& before);

} // namespace zuvst::platform

#endif
