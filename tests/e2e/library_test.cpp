// LoadLibrary, GetProcAddress and FreeLibrary as the host uses them to reach
// a component library's registration entry points. The same checks run
// against the real functions on Windows, keeping the POSIX stand-in honest.
#include <gtest/gtest.h>

#include <string>

#include "platform/win.h"

namespace {

std::string testCamerasModule() {
    std::string path = DV_TESTCAMS_MODULE;
#ifdef _WIN32
    for (char& c : path)
        if (c == '/') c = '\\';
#endif
    return path;
}

TEST(LibraryLoading, EntryPointsOfALoadedModule) {
    HMODULE module = LoadLibraryA(testCamerasModule().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    FARPROC registerServer = GetProcAddress(module, "DllRegisterServer");
    EXPECT_NE(registerServer, nullptr);
    EXPECT_NE(GetProcAddress(module, "DllGetClassObject"), nullptr);

    // The handle names the module that holds its entry points.
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(registerServer)), &owner));
    EXPECT_EQ(owner, module);
    WCHAR path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::wstring(path).find(L"DuoviewTestCams"), std::wstring::npos);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchEntryPoint"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LibraryLoading, LoadsAreCountedAndHandlesChecked) {
    HMODULE first = LoadLibraryA(testCamerasModule().c_str());
    HMODULE second = LoadLibraryA(testCamerasModule().c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(FreeLibrary(first));
    // Still loaded: one load is left.
    EXPECT_NE(GetProcAddress(second, "DllCanUnloadNow"), nullptr);
    EXPECT_TRUE(FreeLibrary(second));

    // A handle that names no loaded module is refused, not followed.
    EXPECT_FALSE(FreeLibrary(nullptr));
    int notAModule = 0;
    HMODULE bogus = reinterpret_cast<HMODULE>(&notAModule);
    EXPECT_FALSE(FreeLibrary(bogus));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(bogus, "DllCanUnloadNow"), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(LibraryLoading, MissingModulesFailWithTheSystemError) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("no-such-module-here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"no-such-module-here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
