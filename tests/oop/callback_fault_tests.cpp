// Callbacks from the server's plug-ins into the host, and servers that a plug-in takes down.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "oop/oop_support.h"

using namespace zuvst::vst2;

namespace {

void Script(TestPlugin& plugin, int32_t when, std::initializer_list<ZtCallbackRequest> requests)
{
    int n = 0;
    for (ZtCallbackRequest r : requests) {
        r.when = when;
        plugin->callbacks[n++] = r;
    }
    plugin->numCallbacks = n;
}

ZtCallbackRequest Request(int32_t opcode, int32_t index = 0, int64_t value = 0, float opt = 0.0f)
{
    ZtCallbackRequest r;
    r.opcode = opcode;
    r.index = index;
    r.value = value;
    r.opt = opt;
    return r;
}

std::vector<std::string> Names(RecordingMaster& master)
{
    std::vector<std::string> names;
    for (const auto& c : master.Snapshot()) names.push_back(c.name);
    return names;
}

} // namespace

TEST(Callbacks, FromInsideDispatcherCallsReachTheHostsMaster)
{
    TestPlugin plugin;
    ServerFactory server;
    IZuVstEffect* effect = server.Create(plugin.path);
    ASSERT_NE(effect, nullptr);
    RecordingMaster master;
    master.tempo = 1400000;
    ASSERT_EQ(effect->SetMaster(&master), S_OK);
    Script(plugin, effSetProgram,
           {Request(audioMasterAutomate, 3, 0, 0.75f), Request(audioMasterBeginEdit, 3), Request(audioMasterEndEdit, 3),
            Request(audioMasterUpdateDisplay), Request(audioMasterTempoAt, 0, 4410)});
    // The host answers an automation by reading the parameter back: a call into the server inside the
    // server's call into the host.
    float readBack = -1;
    HRESULT readStatus = E_FAIL;
    master.onAutomate = [&](int32_t index, float) { readStatus = effect->GetParameter(index, &readBack); };
    effect->SetParameter(3, 0.75f);
    EXPECT_EQ(effect->SetProgram(1), S_OK);
    EXPECT_EQ(Names(master), (std::vector<std::string> {"Automate", "BeginEdit", "EndEdit", "UpdateDisplay", "TempoAt"}));
    const auto calls = master.Snapshot();
    EXPECT_EQ(calls[0].a, 3);
    EXPECT_EQ(calls[0].value, 0.75f);
    EXPECT_EQ(calls[4].a, 4410);
    EXPECT_EQ(readStatus, S_OK);
    EXPECT_EQ(readBack, 0.75f);
    // The plug-in got the master's tempo through the server.
    bool sawTempo = false;
    for (const ZtLogEntry& e : plugin.Entries(ZT_CALLBACK))
        if (e.opcode == audioMasterTempoAt) sawTempo = e.result == 1400000;
    EXPECT_TRUE(sawTempo);
    effect->Release();
    EXPECT_GE(master.refs.load(), 1); // the server gave back what it held
}

TEST(Callbacks, TimeInformationFromInsideProcess)
{
    TestPlugin plugin;
    ServerFactory server;
    IZuVstEffect* effect = server.Create(plugin.path);
    ASSERT_NE(effect, nullptr);
    RecordingMaster master;
    master.time = ZUVSTTIMEINFO {4096.0, 3, 4, 133.0, 8.5, 8.0, 0, 0, ZUVSTTIME_TEMPO_VALID | ZUVSTTIME_PLAYING, 0};
    effect->SetMaster(&master);
    effect->SetSampleRate(48000.0);
    Script(plugin, ZT_AT_PROCESS, {Request(audioMasterGetTime, 0, kVstTempoValid)});
    std::vector<float> in(128, 0.25f), out(128);
    EXPECT_EQ(effect->Process(in.data(), 2, out.data(), 2, 64, 4), S_OK);
    EXPECT_EQ(Names(master), std::vector<std::string> {"GetTime"});
    ASSERT_TRUE(plugin->lastTimeValid);
    EXPECT_EQ(plugin->lastTime.samplePos, 4096.0);
    EXPECT_EQ(plugin->lastTime.sampleRate, 48000.0);
    EXPECT_EQ(plugin->lastTime.tempo, 133.0);
    effect->Release();
}

TEST(Callbacks, FromAThreadOfThePluginsOwn)
{
    TestPlugin plugin;
    ServerFactory server;
    IZuVstEffect* effect = server.Create(plugin.path);
    ASSERT_NE(effect, nullptr);
    RecordingMaster master;
    effect->SetMaster(&master);
    float readBack = -1;
    master.onAutomate = [&](int32_t index, float) { effect->GetParameter(index, &readBack); };
    effect->SetParameter(2, 0.5f);
    plugin->callbacksOnThread = 1;
    Script(plugin, effSetProgram, {Request(audioMasterAutomate, 2, 0, 0.5f), Request(audioMasterBeginEdit, 2)});
    EXPECT_EQ(effect->SetProgram(1), S_OK);
    EXPECT_TRUE(master.WaitFor("BeginEdit"));
    EXPECT_EQ(Names(master), (std::vector<std::string> {"Automate", "BeginEdit"}));
    EXPECT_EQ(readBack, 0.5f);
    plugin->numCallbacks = 0;
    effect->Release();
}

// A server that a plug-in takes down answers every waiting and later call at once, and the next factory
// comes from a fresh server.
TEST(Faults, ServerThatDiesMidCallGivesDisconnectedAtOnce)
{
    const struct {
        const char* name;
        int32_t kind;
        int32_t where;
        int32_t state;
        int32_t code;
    } rows[] = {
        {"_exit in a dispatcher call", ZT_FAULT_EXIT, effGetVendorString, ZUVST_SERVER_EXITED, 3},
        {"SIGKILL inside Process", ZT_FAULT_KILL, ZT_AT_PROCESS, ZUVST_SERVER_KILLED, SIGKILL},
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer's runtime reports the overflow and ends the process itself.
        {"stack overflow on an unguarded thread", ZT_FAULT_THREAD_OVERFLOW, effGetVendorString, ZUVST_SERVER_EXITED, 1},
#else
        {"stack overflow on an unguarded thread", ZT_FAULT_THREAD_OVERFLOW, effGetVendorString, ZUVST_SERVER_KILLED,
         SIGSEGV},
#endif
        {"kill -9 from outside during a hang", ZT_FAULT_SLEEP, effGetVendorString, ZUVST_SERVER_KILLED, SIGKILL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestPlugin plugin;
        ServerFactory server;
        IZuVstEffect* effect = server.Create(plugin.path);
        ASSERT_NE(effect, nullptr);
        plugin->faultKind = row.kind;
        plugin->faultWhere = row.where;
        std::thread killer;
        if (row.kind == ZT_FAULT_SLEEP)
            killer = std::thread([&] {
                while (!plugin->hanging.load()) usleep(1000);
                kill(pid_t(server.pid), SIGKILL);
            });
        const auto start = std::chrono::steady_clock::now();
        HRESULT hr;
        if (row.where == ZT_AT_PROCESS) {
            std::vector<float> in(128), out(128);
            hr = effect->Process(in.data(), 2, out.data(), 2, 64, 4);
        } else {
            WCHAR text[64];
            hr = effect->GetVendorString(text, 64);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (killer.joinable()) killer.join();
        EXPECT_EQ(hr, RPC_E_DISCONNECTED);
        EXPECT_LT(elapsed, std::chrono::seconds(1));
        ZUVSTEFFECTINFO info;
        EXPECT_EQ(effect->GetInfo(&info), RPC_E_DISCONNECTED);
        EXPECT_TRUE(ProcessGone(server.pid, 2000));
        const ZUVSTSERVEREND end = WaitForServerEnd(2000);
        EXPECT_EQ(end.pid, server.pid);
        EXPECT_EQ(end.state, row.state);
        EXPECT_EQ(end.code, row.code);
        effect->Release();
        plugin->faultKind = ZT_FAULT_NONE;
        plugin->hangRelease.store(1);

        // The launcher still names the dead server; its next connection finds nobody and starts afresh.
        ServerFactory next;
        ASSERT_EQ(next.status, S_OK);
        EXPECT_NE(next.pid, server.pid);
        IZuVstEffect* again = next.Create(plugin.path);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->GetInfo(&info), S_OK);
        again->Release();
    }
}
