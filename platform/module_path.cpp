#include "platform/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

namespace zuvst::platform {

std::string ModuleFilePath(const void* address)
{
    if (address) {
        Dl_info info {};
        if (::dladdr(address, &info) && info.dli_fname && info.dli_fname[0] == '/') return info.dli_fname;
    }
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

void* OpenLanguageModule(const char* path) { return ::fopen(path, "rbe"); }

void CloseLanguageModule(void* module)
{
    if (module) ::fclose(static_cast<FILE*>(module));
}

} // namespace zuvst::platform
