#include "oop/oop_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>

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

namespace {
// A zombie has ended; only its parent has not collected it yet.
bool Zombie(uint32_t pid)
{
    char path[64], text[512] = {};
    std::snprintf(path, sizeof(path), "/proc/%u/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    const size_t n = std::fread(text, 1, sizeof(text) - 1, f);
    std::fclose(f);
    const char* close = std::strrchr(text, ')');
    return n > 0 && close && close[1] == ' ' && close[2] == 'Z';
}
} // namespace

uint32_t ChildOf(uint32_t parent, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
        uint32_t child = 0;
        if (children >> child) return child;
        usleep(5000);
    }
    return 0;
}

bool ProcessGone(uint32_t pid, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        if (kill(pid_t(pid), 0) != 0 || Zombie(pid)) return true;
        usleep(5000);
    }
    return false;
}

ZUVSTSERVEREND WaitForServerEnd(int timeoutMs)
{
    ZUVSTSERVEREND end {};
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        GetLastServerEnd(&end);
        if (end.state != ZUVST_SERVER_RUNNING) break;
        usleep(5000);
    }
    return end;
}
