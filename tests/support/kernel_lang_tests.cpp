#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/fault_guard.h"
#include "platform/module_path.h"
#include "platform/sync.h"
#include "support/kernel/cpu_features.h"
#include "zuvst/support.h"

extern HZULANG g_hLang;

namespace {

std::set<std::string> CpuInfoFlags()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::set<std::string> flags;
            for (std::string w; words >> w;) flags.insert(w);
            return flags;
        }
    return {};
}

} // namespace

TEST(Processor, WordsMatchTheKernelsFlags)
{
    const auto flags = CpuInfoFlags();
    ASSERT_FALSE(flags.empty());
    zuvst::support::DetectProcessor();
    const struct {
        const char* flag;
        uint32_t bit;
        bool inSupport;
    } rows[] = {{"mmx", 0x10, true},     {"sse", 0x20, true},       {"sse2", 0x40, true},  {"pni", 0x80, true},
                {"ssse3", 0x100, false}, {"sse4_1", 0x200, false}, {"sse4_2", 0x400, false}, {"cmov", 0x1000, true},
                {"tsc", 0x4000, true}};
    for (const auto& r : rows) {
        const bool has = flags.count(r.flag) == 1;
        EXPECT_EQ((g_dwCPUBits & r.bit) != 0, has) << r.flag;
        EXPECT_EQ(ZuGetCPUSupport(r.bit) != 0, has && r.inSupport) << r.flag;
    }
    EXPECT_EQ(ZuGetOSSupport(0x780), flags.count("sse") ? 0x780u : 0u); // SSE3..SSE4.2 whenever SSE is usable
    EXPECT_EQ(ZuGetCPUSupport(0) & 0xF, 6u);                             // the Pentium 4 class
    EXPECT_GE(ZuGetCPUSupport(0xFF0), 0x70u);
    EXPECT_EQ(ZuGetProcessorCount(), uint32_t(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(zuvst::support::HasAvx2(), flags.count("avx2") == 1);
}

TEST(ProcessorDeathTest, FlushToZeroOnTheDetectingThreadOnly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // A fresh process: the start-up runs the detection here, on this thread.
            ZuKernel_Startup(nullptr, nullptr);
            const bool here = (zuvst::platform::ReadSseControl() & 0x8040) == 0x8040;
            bool there = true;
            auto t = zuvst::platform::Thread::Start([&] { there = (zuvst::platform::ReadSseControl() & 0x8040) != 0; });
            zuvst::platform::WaitForObject(t.get(), 5000);
            _exit(here && !there && (ZuGetCPUSupport(0x20000) != 0) ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(Kernel, StartupShutdownAndClock)
{
    ASSERT_TRUE(ZuKernel_Startup(nullptr, nullptr));
    ASSERT_NE(g_hLang, nullptr);
    setenv("LANGUAGE", "de", 1);
    EXPECT_EQ(std::u16string(ZuGetString(g_hLang, 48368)), u"(Untitled)"); // no language module here
    unsetenv("LANGUAGE");
    const uint32_t ms = ZuGetMillisec(), us = ZuGetMicrosec();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(ZuGetMillisec() - ms, 29u);
    EXPECT_GE(ZuGetMicrosec() - us, 29000u);
    EXPECT_TRUE(ZuKernel_Shutdown(nullptr, nullptr));
    EXPECT_EQ(g_hLang, nullptr);
    EXPECT_EQ(ZuGetString(g_hLang, 48368)[0], 0);
}

TEST(Lang, CacheRulesAndEmptyStrings)
{
    HZULANG h = nullptr;
    ASSERT_EQ(ZuLang_Open(&h, nullptr, 0, 100), S_OK);
    const WCHAR* a = ZuGetString(h, 48368);
    EXPECT_EQ(std::u16string(a), u"(Untitled)");
    EXPECT_EQ(ZuGetString(h, 48368), a); // the same entry
    const WCHAR* none = ZuGetString(h, 12345);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], 0);
    EXPECT_EQ(std::u16string(ZuGetString(h, 48369)), u"abc"); // "^*" removed
    WCHAR buffer[8];
    EXPECT_EQ(ZuLoadString(h, 48369, buffer, 8), 3);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(ZuLoadString(h, 48368, buffer, 4), 3); // cut to capacity - 1
    EXPECT_EQ(std::u16string(buffer), u"(Un");
    EXPECT_EQ(ZuLoadString(h, 777, buffer, 8), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(ZuLang_Close(h), 0);
    EXPECT_EQ(ZuLang_Close(nullptr), 0);
    EXPECT_EQ(ZuGetString(nullptr, 48368)[0], 0);
    EXPECT_EQ(ZuLoadCursor(nullptr, 0x7F00), reinterpret_cast<void*>(0x7F00));
}

TEST(Lang, ALanguageModuleBesideTheProgramSelectsByTheEnvironment)
{
    const std::string module = zuvst::platform::ModuleFilePath(nullptr) + ".LNG"; // the name has no "."
    { std::ofstream(module) << "# string catalog\n"; }
    const struct {
        const char* language;
        const char* variable;
        std::u16string text;
    } rows[] = {
        {"de_DE.UTF-8", "LANG", u"(Ohne Titel)"}, {"fr", "LANGUAGE", u"(sans titre)"},
        {"es_ES", "LC_ALL", u"(Sin título)"},     {"ja_JP.UTF-8", "LC_MESSAGES", u"(無題)"},
        {"en_US", "LANG", u"(Untitled)"},         {"pt_BR", "LANG", u"(Untitled)"},
        {"C", "LANG", u"(Untitled)"},
    };
    for (const auto& r : rows) {
        for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
        setenv(r.variable, r.language, 1);
        HZULANG h = nullptr;
        ASSERT_EQ(ZuLang_Open(&h, nullptr, 0, 0), S_OK);
        EXPECT_EQ(std::u16string(ZuGetString(h, 48368)), r.text) << r.language;
        ZuLang_Close(h);
    }
    for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
    std::remove(module.c_str());
}
