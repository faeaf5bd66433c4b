// Loading plug-in libraries; failures come back as the statuses the interfaces report.
#ifndef ZUVST_PLATFORM_LIBRARY_H
#define ZUVST_PLATFORM_LIBRARY_H

#include "zuvst/types.h"

namespace zuvst::platform {

using LibraryHandle = void*;

// Loads a library (UTF-8 path). A missing file gives ZU_E_MOD_NOT_FOUND, a file that is not a loadable
// library of this architecture ZU_E_BAD_EXE_FORMAT.
HRESULT LoadLibrary(const char* path, LibraryHandle* handle);
// A missing symbol gives ZU_E_PROC_NOT_FOUND.
HRESULT FindSymbol(LibraryHandle handle, const char* name, void** symbol);
void FreeLibrary(LibraryHandle handle);

} // namespace zuvst::platform

#endif
