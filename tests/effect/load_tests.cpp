#include <gtest/gtest.h>

#include "effect/test_support.h"
#include "platform/lifetime.h"

using namespace zuvst;
using namespace zuvst::vst2;

TEST(Load, EntryPointVariants)
{
    struct Row {
        const char* plugin;
        HRESULT status;
        int32_t via; // 1 "main", 2 "VSTPluginMain", 0 not entered
    } rows[] = {
        {"zt_plugin", S_OK, 1},        {"zt_main_only", S_OK, 1},          {"zt_vstmain_only", S_OK, 2},
        {"zt_no_entry", ZU_E_PROC_NOT_FOUND, 0}, {"zt_null_entry", E_INVALIDARG, 2},
        {"zt_bad_magic", E_INVALIDARG, 2},
    };
    for (const Row& r : rows) {
        TestPlugin plugin(r.plugin);
        plugin->enteredVia = 0;
        {
            EffectHolder fx(plugin.path);
            EXPECT_EQ(fx.status, r.status) << r.plugin;
            EXPECT_EQ(plugin->enteredVia, r.via) << r.plugin;
            if (r.status == S_OK) {
                EXPECT_EQ(plugin.Opcodes(), (std::vector<int32_t> {effGetPlugCategory, effOpen})) << r.plugin;
                EXPECT_EQ(fx->Descriptor()->resvd1, reinterpret_cast<intptr_t>(fx.effect));
            } else {
                EXPECT_EQ(fx->Descriptor(), nullptr);
                EXPECT_TRUE(plugin.Opcodes().empty());
            }
        }
        if (r.status == S_OK) {
            EXPECT_EQ(plugin.Opcodes().back(), effClose);
        }
        EXPECT_EQ(g_cLiveEffects.load(), 0);
    }
}

TEST(Load, MissingOrForeignFiles)
{
    EXPECT_EQ(EffectHolder(u"/nonexistent/plugin.so").status, ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(EffectHolder(u"/etc/passwd").status, ZU_E_BAD_EXE_FORMAT);
    EXPECT_EQ(EffectHolder(u"").status, ZU_E_MOD_NOT_FOUND);
    // A path longer than 259 units is cut before loading: the cut path names nothing.
    std::u16string longPath = u"/nonexistent/" + std::u16string(300, u'a') + u".so";
    EXPECT_EQ(EffectHolder(longPath).status, ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(g_cLiveEffects.load(), 0);
}

TEST(Load, UniqueIdIsOfferedDuringTheEntryCall)
{
    TestPlugin plugin;
    plugin->callbacks[0] = {ZT_AT_ENTRY, audioMasterCurrentId};
    plugin->callbacks[1] = {ZT_AT_ENTRY, audioMasterVersion};
    plugin->numCallbacks = 2;
    for (int32_t id : {0, 0x11223344}) {
        plugin.ClearLog();
        EffectHolder fx(plugin.path, id);
        ASSERT_EQ(fx.status, S_OK); // not a shell: the ID is not compared with anything
        const auto cb = plugin.Entries(ZT_CALLBACK);
        ASSERT_EQ(cb.size(), 2u);
        EXPECT_EQ(cb[0].result, id);
        EXPECT_EQ(cb[1].result, 2300);
    }
}

TEST(Load, NeedIdleDuringTheEntryCall)
{
    TestPlugin plugin;
    {
        EffectHolder fx(plugin.path);
        EXPECT_FALSE(fx->StateBits() & EFFECT_WANTS_IDLE);
    }
    plugin->callbacks[0] = {ZT_AT_ENTRY, audioMasterNeedIdle};
    plugin->numCallbacks = 1;
    {
        EffectHolder fx(plugin.path);
        EXPECT_TRUE(fx->StateBits() & EFFECT_WANTS_IDLE);
    }
    // The wish belonged to that load only.
    plugin->numCallbacks = 0;
    EffectHolder fx(plugin.path);
    EXPECT_FALSE(fx->StateBits() & EFFECT_WANTS_IDLE);
}

TEST(Load, ShellProtocol)
{
    TestPlugin shell("zt_shell");
    {
        EffectHolder fx(shell.path, 0);
        EXPECT_EQ(fx.status, ZU_S_NOTCONFIGURED);
        EXPECT_TRUE(fx->StateBits() & EFFECT_IS_SHELL);
        EXPECT_EQ(fx->Descriptor()->resvd1, 0);
        char16_t name[64];
        ZUVSTEFFECTINFO info;
        EXPECT_EQ(fx->GetEffectName(name, 64), ZU_E_NOTINITIALIZED);
        EXPECT_EQ(name[0], 0);
        EXPECT_EQ(fx->GetVendorString(name, 64), ZU_E_NOTINITIALIZED);
        EXPECT_EQ(fx->GetInfo(&info), ZU_E_NOTINITIALIZED);

        std::vector<std::pair<int32_t, std::u16string>> subs;
        int32_t id = -5;
        while (fx->ShellGetNextPlugin(&id, name, 64) == S_OK) subs.emplace_back(id, name);
        EXPECT_EQ(id, 0);
        ASSERT_EQ(subs.size(), 3u);
        EXPECT_EQ(subs[0], std::make_pair(0x5A745331, std::u16string(u"Sub One")));
        EXPECT_EQ(subs[2], std::make_pair(0x5A745333, std::u16string(u"Sub Three")));
        const auto ops = shell.Opcodes();
        EXPECT_EQ(ops[0], effGetPlugCategory);
        EXPECT_EQ(std::count(ops.begin(), ops.end(), effOpen), 0);
    }
    EXPECT_EQ(shell.Opcodes().back(), effClose); // sent also to the never-opened shell

    // A sub-plug-in of another category, and the one that reports category 10 itself.
    for (int32_t id : {0x5A745331, 0x5A745333}) {
        shell.ClearLog();
        EffectHolder fx(shell.path, id);
        EXPECT_EQ(fx.status, S_OK);
        EXPECT_EQ(fx->Descriptor()->uniqueID, id);
        EXPECT_EQ(shell.Opcodes().back(), effOpen);
    }
    // Category 10 with a descriptor that names another ID.
    shell->subs[2].reportedID = 0x01020304;
    shell.ClearLog();
    {
        EffectHolder fx(shell.path, 0x5A745333);
        EXPECT_EQ(fx.status, E_UNEXPECTED);
        EXPECT_EQ(shell.Opcodes(), (std::vector<int32_t> {effGetPlugCategory, effClose}));
    }
    // A shell descriptor with an ID of its own answers from itself.
    shell->uniqueID = 0x53484C4C;
    EffectHolder fx(shell.path, 0);
    char16_t name[64];
    EXPECT_EQ(fx->GetEffectName(name, 64), S_OK);
    EXPECT_EQ(std::u16string(name), u"Zt Test Effect");
    EXPECT_EQ(g_cLiveEffects.load(), 1);
}

TEST(Load, QueryInterfaceAndReferences)
{
    TestPlugin plugin;
    EffectHolder fx(plugin.path);
    void* p = nullptr;
    EXPECT_EQ(fx->QueryInterface(IID_IZuVstEffect, &p), S_OK);
    EXPECT_EQ(p, static_cast<IZuVstEffect*>(fx.effect));
    EXPECT_EQ(fx->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(fx->QueryInterface(IID_IZuVstMaster, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(fx->AddRef(), 4u);
    EXPECT_EQ(fx->Release(), 3u);
    EXPECT_EQ(fx->Release(), 2u);
    EXPECT_EQ(fx->Release(), 1u);
}
