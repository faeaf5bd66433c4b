// Helpers for tests that drive effects over our own test plug-ins.
#ifndef ZUVST_TESTS_TEST_SUPPORT_H
#define ZUVST_TESTS_TEST_SUPPORT_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/test_plugin_control.h"
#include "zuvst/launcher.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

std::string PluginFile(const char* name);
std::u16string PluginPath(const char* name);

// Holds one of our test plug-ins open so its control block survives loads and unloads by the effect.
class TestPlugin {
public:
    explicit TestPlugin(const char* name = "zt_plugin");
    ~TestPlugin();
    TestPlugin(const TestPlugin&) = delete;
    TestPlugin& operator=(const TestPlugin&) = delete;

    ZtControl* operator->() const { return ctl; }
    std::vector<int32_t> Opcodes() const; // dispatcher opcodes in order
    std::vector<ZtLogEntry> Entries(int32_t kind) const;
    void ClearLog() const { ctl->logCount.store(0); }
    int64_t CallFromThread(int32_t opcode, int32_t index, int64_t value, void* ptr, float opt) const;

    ZtControl* ctl = nullptr;
    std::u16string path;

private:
    void* m_handle = nullptr;
    ZtCallFromThreadProc m_callFromThread = nullptr;
};

// An effect made the way the factory makes it; released by the holder.
struct EffectHolder {
    EffectHolder(const std::u16string& path, int32_t uniqueID = 0);
    ~EffectHolder();
    zuvst::CZuVstEffect* operator->() const { return effect; }
    zuvst::CZuVstEffect* effect = nullptr;
    HRESULT status = E_FAIL;
};

// A host callback object that records what reaches it.
class RecordingMaster final : public IZuVstMaster {
public:
    struct Call {
        std::string name;
        int32_t a = 0;
        int32_t b = 0;
        float value = 0.0f;
    };
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    void Record(Call call);
    HRESULT Automate(int32_t index, float value) override;
    HRESULT Idle() override;
    HRESULT UpdateDisplay() override;
    HRESULT GetTime(ZUVSTTIMEINFO* time) override;
    HRESULT TempoAt(int32_t pos, int32_t* tempo) override;
    HRESULT SizeWindow(int32_t width, int32_t height) override;
    HRESULT BeginEdit(int32_t index) override;
    HRESULT EndEdit(int32_t index) override;

    // Out of process the calls arrive on other threads: read them through these.
    std::vector<Call> Snapshot();
    bool WaitFor(const char* name, size_t count = 1, int timeoutMs = 3000);
    std::function<void(int32_t, float)> onAutomate; // runs inside Automate

    std::mutex lock;
    std::vector<Call> calls;
    ZUVSTTIMEINFO time {};
    HRESULT timeStatus = S_OK;
    int32_t tempo = 0;
    std::atomic<int32_t> refs {1};
    bool offersMaster = true;
};

#endif
