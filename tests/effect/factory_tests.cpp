#include <gtest/gtest.h>

#include "effect/test_support.h"
#include "platform/lifetime.h"
#include "zuvstwrap/factory.h"

using namespace zuvst;

namespace {

struct FactoryTest : ::testing::Test {
    IZuVstEffectFactory* factory = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(CreateEffectFactory(IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory)), S_OK);
    }
    void TearDown() override { EXPECT_EQ(factory->Release(), 0u); }
};

std::vector<uint32_t> g_quitPosts;
void RecordQuit(uint32_t thread) { g_quitPosts.push_back(thread); }

} // namespace

TEST_F(FactoryTest, InterfacesAndInstances)
{
    void* p = nullptr;
    for (const IID* iid : {&IID_IZuVstEffectFactory, &IID_IUnknown, &IID_IClassFactory}) {
        ASSERT_EQ(factory->QueryInterface(*iid, &p), S_OK);
        EXPECT_EQ(p, factory);
        factory->Release();
    }
    EXPECT_EQ(factory->QueryInterface(IID_IZuVstEffect, &p), E_NOINTERFACE);
    EXPECT_EQ(factory->AddRef(), 2u); // the failed query changed nothing
    factory->Release();
    EXPECT_EQ(factory->CreateInstance(factory, IID_IClassFactory, &p), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), S_OK);
    EXPECT_EQ(p, factory);
    factory->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateEffectFactory(IID_IZuVstMaster, &none), E_NOINTERFACE);
}

TEST_F(FactoryTest, LockServerPostsQuitOnceWhenIdle)
{
    g_quitPosts.clear();
    platform::SetPostQuitProc(RecordQuit);
    g_idMainThread.store(77);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_TRUE(g_quitPosts.empty());
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(g_quitPosts, std::vector<uint32_t> {77});
    EXPECT_EQ(g_idMainThread.load(), 0u);
    factory->LockServer(TRUE);
    factory->LockServer(FALSE);
    EXPECT_EQ(g_quitPosts.size(), 1u); // posted once

    // A failed creation and a probe bring the live count back to zero and end the loop after the call.
    g_idMainThread.store(78);
    void* p = nullptr;
    TestPlugin plugin;
    EXPECT_EQ(factory->CreateEffect(plugin.path.c_str(), 0, IID_IZuVstMaster, &p), E_NOINTERFACE);
    EXPECT_EQ(g_quitPosts, (std::vector<uint32_t> {77, 78}));
    g_idMainThread.store(79);
    char16_t a[64], b[64], c[64];
    ZUVSTEFFECTINFO info;
    EXPECT_EQ(factory->ProbeEffect(plugin.path.c_str(), 0, a, b, c, &info, 0), S_OK);
    EXPECT_EQ(g_quitPosts, (std::vector<uint32_t> {77, 78, 79}));
    EXPECT_EQ(g_cLiveEffects.load(), 0);
    platform::SetPostQuitProc(nullptr);
}

TEST_F(FactoryTest, ProbeInline)
{
    TestPlugin plugin;
    for (uint32_t limit : {0u, 0xFFFFFFFFu}) {
        char16_t name[64] = {}, vendor[64] = {}, product[64] = {};
        ZUVSTEFFECTINFO info {};
        plugin.ClearLog();
        ASSERT_EQ(factory->ProbeEffect(plugin.path.c_str(), 0, name, vendor, product, &info, limit), S_OK);
        EXPECT_EQ(std::u16string(name), u"Zt Test Effect");
        EXPECT_EQ(std::u16string(vendor), u"Zuvst Tests");
        EXPECT_EQ(std::u16string(product), u"Zt Product");
        EXPECT_EQ(info.uniqueID, 0x5A74506C);
        EXPECT_EQ(info.vendorVersion, 4321);
        EXPECT_EQ(plugin.Opcodes().back(), vst2::effClose);
    }
    // A file that fails to load leaves the caller's buffers as they were.
    char16_t name[64] = u"keep";
    ZUVSTEFFECTINFO info {};
    info.uniqueID = 55;
    EXPECT_EQ(factory->ProbeEffect(u"/nonexistent.so", 0, name, name, name, &info, 0), ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(std::u16string(name), u"keep");
    EXPECT_EQ(info.uniqueID, 55);
    // A shell probed without an ID: success code, unchosen names.
    TestPlugin shell("zt_shell");
    EXPECT_EQ(factory->ProbeEffect(shell.path.c_str(), 0, name, name, name, &info, 0), ZU_S_NOTCONFIGURED);
    EXPECT_EQ(name[0], 0);
    // Any other limit goes to the probe worker.
    EXPECT_EQ(factory->ProbeEffect(plugin.path.c_str(), 0, name, name, name, &info, 5000), S_OK);
    EXPECT_EQ(std::u16string(name), u"Zt Product"); // the three buffers were one
}

TEST_F(FactoryTest, ProbeBlacklist)
{
    const struct {
        const char16_t* path;
        bool refused;
    } rows[] = {
        {u"wnaspi32.dll", true},
        {u"C:\\Windows\\System32\\WNASPI32.DLL", true},
        {u"D:WnAspi32.Dll", true},
        {u"C:/Plugins/wnaspi32.dll", false}, // a forward slash does not separate
        {u"/usr/lib/vst/wnaspi32.dll", false},
        {u"C:\\x\\wnaspi32.dll.so", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(IsBlacklistedForProbe(r.path), r.refused);
        char16_t name[64] = u"keep";
        ZUVSTEFFECTINFO info {};
        const HRESULT hr = factory->ProbeEffect(r.path, 0, name, name, name, &info, 0);
        if (r.refused) {
            EXPECT_EQ(hr, E_INVALIDARG);
        } else {
            EXPECT_EQ(hr, ZU_E_MOD_NOT_FOUND);
        }
        EXPECT_EQ(std::u16string(name), u"keep");
    }
}

TEST_F(FactoryTest, CreateEffect)
{
    TestPlugin plugin;
    IZuVstEffect* effect = nullptr;
    ASSERT_EQ(factory->CreateEffect(plugin.path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect)),
              S_OK);
    EXPECT_EQ(g_cLiveEffects.load(), 1);
    EXPECT_EQ(effect->Release(), 0u); // the caller holds the only reference
    EXPECT_EQ(g_cLiveEffects.load(), 0);
    TestPlugin shell("zt_shell");
    ASSERT_EQ(factory->CreateEffect(shell.path.c_str(), 0, IID_IUnknown, reinterpret_cast<void**>(&effect)),
              ZU_S_NOTCONFIGURED);
    ASSERT_NE(effect, nullptr);
    effect->Release();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateEffect(u"/nonexistent.so", 0, IID_IZuVstEffect, &p), ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(p, nullptr);
    // The blacklist is the probe's only.
    EXPECT_EQ(factory->CreateEffect(u"wnaspi32.dll", 0, IID_IZuVstEffect, &p), ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(g_cLiveEffects.load(), 0);
}
