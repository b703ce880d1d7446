// What the module file carries besides code: version block, manifest, registry script, type library.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "client_common.h"

namespace {

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name)
{
    struct LangCp { WORD lang, cp; }* pTrans = nullptr;
    UINT n = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTrans), &n) || n < 4)
        return L"?";
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", pTrans->lang, pTrans->cp, name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &n) || value == nullptr)
        return L"?";
    return value;
}

} // namespace

TEST(ModuleFile, VersionBlock)
{
    std::wstring path = DllPath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    EXPECT_EQ(VersionString(block, L"FileVersion"), L"5.3 build 686");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"5.3.686");
    EXPECT_EQ(VersionString(block, L"InternalName"), L"TrelClientHelper");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"TrelClientHelper.DLL");
}

TEST(ModuleFile, ResourcesOfTheRegistration)
{
    HMODULE h = LoadLibraryExW(DllPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(FindResourceW(h, MAKEINTRESOURCEW(102), L"REGISTRY"), nullptr);
    EXPECT_NE(FindResourceW(h, MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
    HRSRC m = FindResourceW(h, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_NE(m, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(h, m))), SizeofResource(h, m));
    EXPECT_NE(manifest.find("<assembly"), std::string::npos);
    EXPECT_EQ(manifest.find("<dependency"), std::string::npos);
    // The project name and a Russian text of the string table.
    wchar_t text[256] = {};
    EXPECT_GT(LoadStringW(h, 100, text, 256), 0);
    EXPECT_STREQ(text, L"TrelClientHelper");
    EXPECT_GT(LoadStringW(h, 40038, text, 256), 0);
    EXPECT_STREQ(text, L"Ошибка при считывании Ход-Теста");
    FreeLibrary(h);
}
