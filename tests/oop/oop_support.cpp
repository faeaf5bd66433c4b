#include "oop/oop_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

// Set before any test loads the test plug-in, so that its first load already maps the shared block.
const std::string& SharedControlFile()
{
    static const std::string file = [] {
        std::string f = "/tmp/zt-control-" + std::to_string(getpid());
        setenv("ZT_CONTROL_FILE", f.c_str(), 1);
        return f;
    }();
    return file;
}
namespace {
const bool kControlShared = !SharedControlFile().empty();
struct RemoveControlFile {
    ~RemoveControlFile() { unlink(SharedControlFile().c_str()); }
} g_removeControlFile;
} // namespace

ServerFactory::ServerFactory(const WCHAR* vendor, const WCHAR* product)
{
    status = ConnectEffectFactory(FALSE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory), vendor, product,
                                  &pid);
}

ServerFactory::~ServerFactory() { ReleaseEffectFactory(FALSE, factory); }

IZuVstEffect* ServerFactory::Create(const std::u16string& path, int32_t uniqueID, HRESULT* statusOut)
{
    IZuVstEffect* effect = nullptr;
    const HRESULT hr = factory ? factory->CreateEffect(path.c_str(), uniqueID, IID_IZuVstEffect,
                                                       reinterpret_cast<void**>(&effect))
                               : E_FAIL;
    if (statusOut) *statusOut = hr;
    return effect;
}

bool ProcessGone(uint32_t pid, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        if (kill(pid_t(pid), 0) != 0) return true;
        usleep(5000);
    }
    return false;
}
