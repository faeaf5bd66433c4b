#include <gtest/gtest.h>

#include <string>

#include "platform/executable_info.h"
#include "platform/library.h"

using namespace zuvst::platform;

std::string PluginFile(const char* name);

TEST(Library, LoadStatuses)
{
    LibraryHandle h = nullptr;
    EXPECT_EQ(LoadLibrary("/nonexistent/zz.so", &h), ZU_E_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibrary("/etc/passwd", &h), ZU_E_BAD_EXE_FORMAT);
    EXPECT_EQ(LoadLibrary("/etc", &h), ZU_E_BAD_EXE_FORMAT);
    ASSERT_EQ(LoadLibrary(PluginFile("zt_vstmain_only").c_str(), &h), S_OK);
    void* sym = nullptr;
    EXPECT_EQ(FindSymbol(h, "main", &sym), ZU_E_PROC_NOT_FOUND);
    EXPECT_EQ(FindSymbol(h, "VSTPluginMain", &sym), S_OK);
    EXPECT_NE(sym, nullptr);
    FreeLibrary(h);
}

TEST(Library, NativeLibraryFile)
{
    EXPECT_TRUE(IsNativeLibraryFile(PluginFile("zt_plugin").c_str()));
    EXPECT_FALSE(IsNativeLibraryFile("/etc/passwd"));
    EXPECT_FALSE(IsNativeLibraryFile("/nonexistent"));
    EXPECT_FALSE(IsNativeLibraryFile(nullptr));
}
