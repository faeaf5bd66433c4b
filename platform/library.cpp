#include "platform/library.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

namespace zuvst::platform {

HRESULT LoadLibrary(const char* path, LibraryHandle* handle)
{
    *handle = nullptr;
    struct stat st {};
    if (!path || !*path || ::stat(path, &st) != 0) return ZU_E_MOD_NOT_FOUND;
    void* h = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        // A library whose own dependency is missing is reported like a missing module.
        const char* err = ::dlerror();
        if (err && std::strstr(err, "cannot open shared object file") && !std::strstr(err, path))
            return ZU_E_MOD_NOT_FOUND;
        return ZU_E_BAD_EXE_FORMAT;
    }
    *handle = h;
    return S_OK;
}

HRESULT FindSymbol(LibraryHandle handle, const char* name, void** symbol)
{
    *symbol = handle ? ::dlsym(handle, name) : nullptr;
    return *symbol ? S_OK : ZU_E_PROC_NOT_FOUND;
}

void FreeLibrary(LibraryHandle handle)
{
    if (handle) ::dlclose(handle);
}

} // namespace zuvst::platform
