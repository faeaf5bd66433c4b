#include "effect/test_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <new>

#include <unistd.h>

std::string PluginFile(const char* name) { return std::string(ZT_PLUGIN_DIR) + "/" + name + ".so"; }

std::u16string PluginPath(const char* name)
{
    const std::string file = PluginFile(name);
    return std::u16string(file.begin(), file.end());
}

TestPlugin::TestPlugin(const char* name)
{
    const std::string file = PluginFile(name);
    path.assign(file.begin(), file.end());
    m_handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) ADD_FAILURE() << dlerror();
    if (!m_handle) return;
    ctl = reinterpret_cast<ZtControlProc>(dlsym(m_handle, "zutest_control"))();
    reinterpret_cast<ZtResetProc>(dlsym(m_handle, "zutest_reset"))();
    m_callFromThread = reinterpret_cast<ZtCallFromThreadProc>(dlsym(m_handle, "zutest_call_from_thread"));
}

TestPlugin::~TestPlugin()
{
    if (m_handle) dlclose(m_handle);
}

std::vector<int32_t> TestPlugin::Opcodes() const
{
    std::vector<int32_t> out;
    for (const ZtLogEntry& e : Entries(ZT_DISPATCH)) out.push_back(e.opcode);
    return out;
}

std::vector<ZtLogEntry> TestPlugin::Entries(int32_t kind) const
{
    std::vector<ZtLogEntry> out;
    const int n = std::min(ctl->logCount.load(), kZtMaxLog);
    for (int i = 0; i < n; ++i)
        if (ctl->log[i].kind == kind) out.push_back(ctl->log[i]);
    return out;
}

int64_t TestPlugin::CallFromThread(int32_t opcode, int32_t index, int64_t value, void* ptr, float opt) const
{
    return m_callFromThread(opcode, index, value, ptr, opt);
}

EffectHolder::EffectHolder(const std::u16string& path, int32_t uniqueID)
{
    effect = new zuvst::CZuVstEffect(path.c_str(), uniqueID, &status);
}

EffectHolder::~EffectHolder()
{
    if (effect) effect->Release();
}

HRESULT RecordingMaster::QueryInterface(REFIID riid, void** ppv)
{
    if (offersMaster && (riid == IID_IZuVstMaster || riid == IID_IUnknown)) {
        AddRef();
        *ppv = static_cast<IZuVstMaster*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

void RecordingMaster::Record(Call call)
{
    std::lock_guard<std::mutex> g(lock);
    calls.push_back(std::move(call));
}

std::vector<RecordingMaster::Call> RecordingMaster::Snapshot()
{
    std::lock_guard<std::mutex> g(lock);
    return calls;
}

bool RecordingMaster::WaitFor(const char* name, size_t count, int timeoutMs)
{
    for (int waited = 0;; waited += 5) {
        size_t seen = 0;
        for (const Call& c : Snapshot()) seen += c.name == name;
        if (seen >= count) return true;
        if (waited >= timeoutMs) return false;
        usleep(5000);
    }
}

HRESULT RecordingMaster::Automate(int32_t index, float value)
{
    Record({"Automate", index, 0, value});
    if (onAutomate) onAutomate(index, value);
    return S_OK;
}
HRESULT RecordingMaster::Idle()
{
    Record({"Idle"});
    return S_OK;
}
HRESULT RecordingMaster::UpdateDisplay()
{
    Record({"UpdateDisplay"});
    return S_OK;
}
HRESULT RecordingMaster::GetTime(ZUVSTTIMEINFO* t)
{
    Record({"GetTime"});
    if (timeStatus == S_OK) *t = time;
    return timeStatus;
}
HRESULT RecordingMaster::TempoAt(int32_t pos, int32_t* t)
{
    Record({"TempoAt", pos});
    *t = tempo;
    return S_OK;
}
HRESULT RecordingMaster::SizeWindow(int32_t width, int32_t height)
{
    Record({"SizeWindow", width, height});
    return S_OK;
}
HRESULT RecordingMaster::BeginEdit(int32_t index)
{
    Record({"BeginEdit", index});
    return S_OK;
}
HRESULT RecordingMaster::EndEdit(int32_t index)
{
    Record({"EndEdit", index});
    return S_OK;
}
