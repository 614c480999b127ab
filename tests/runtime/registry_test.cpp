// The file-backed registry: Win32 semantics of the Reg* calls, corrupt content,
// crash safety and two processes writing at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const wchar_t* const valuesKeyPath = L"Software\\Test\\Values";

class Registry : public FreshRegistry {
protected:
    HKEY create(HKEY root, const wchar_t* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
    std::string storeText(const char* file) {
        std::ifstream in(folder + "/" + file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void writeStore(const char* file, const std::string& text) {
        std::ofstream out(folder + "/" + file, std::ios::binary | std::ios::trunc);
        out << text;
    }
    DWORD readDword(HKEY key, const char* name, LSTATUS* status) {
        DWORD value = 0xDEADBEEF;
        DWORD size = sizeof value;
        DWORD type = 0;
        *status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        if (*status == ERROR_SUCCESS && (type != REG_DWORD || size != 4)) *status = ERROR_INVALID_DATA;
        return value;
    }
};

TEST_F(Registry, DwordRoundTripAndQueryConventions) {
    HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
    const DWORD value = 0x12345678;
    ASSERT_EQ(RegSetValueExW(key, L"camMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);

    // Size query with no buffer.
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"camMode", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);

    // Too small a buffer: ERROR_MORE_DATA with the needed size and the type.
    BYTE small[2] = {0xAA, 0xAA};
    size = sizeof small;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"camMode", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    // Names are case-insensitive; the A form reads the same bytes.
    LSTATUS st;
    EXPECT_EQ(readDword(key, "CAMMODE", &st), value);
    EXPECT_EQ(st, ERROR_SUCCESS);

    // A buffer pointer without a size is refused.
    EXPECT_EQ(RegQueryValueExW(key, L"camMode", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, L"x", 0, REG_DWORD, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, StringsWideAndNarrow) {
    HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
    const wchar_t wide[] = L"Left Cam \u00e9";
    ASSERT_EQ(RegSetValueExW(key, L"wide", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), sizeof wide),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"wide", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof wide);  // bytes, terminating NUL included
    std::vector<wchar_t> back(size / sizeof(wchar_t));
    ASSERT_EQ(RegQueryValueExW(key, L"wide", nullptr, nullptr, reinterpret_cast<BYTE*>(back.data()), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(back.data(), wide);

    // The narrow form is UTF-8 with the NUL the value was stored with.
    char narrow[64] = {};
    size = sizeof narrow;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "wide", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof("Left Cam \xc3\xa9"));
    EXPECT_STREQ(narrow, "Left Cam \xc3\xa9");

    // Stored without a terminating NUL, read back with exactly its length.
    const char name[] = "Camera One";
    ASSERT_EQ(RegSetValueExA(key, "lcamName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), 10),
              ERROR_SUCCESS);
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "lcamName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(buffer, size), "Camera One");
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"lcamName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10 * sizeof(wchar_t));

    // Bytes that are not UTF-8 survive the narrow round trip.
    const char odd[] =
        "a\xff\xfe"
        "b";
    ASSERT_EQ(RegSetValueExA(key, "odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 4), ERROR_SUCCESS);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "odd", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), std::string(odd, 4));
    RegCloseKey(key);
}

TEST_F(Registry, OtherTypesAndDefaultValue) {
    HKEY key = create(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444444444444}");
    const BYTE blob[] = {0, 1, 2, 0xFF, 0, 10, 13, 32};
    const uint64_t q = 0x0102030405060708ull;
    const wchar_t multi[] = L"one\0two\0";
    ASSERT_EQ(RegSetValueExW(key, L"bin", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, L"q", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&q), sizeof q),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key, L"multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, L"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    const wchar_t def[] = L"default";
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(def), sizeof def),
              ERROR_SUCCESS);

    BYTE buffer[64];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"bin", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), std::vector<BYTE>(blob, blob + sizeof blob));
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, L"q", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::memcmp(buffer, &q, 8), 0);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, L"multi", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof multi);
    EXPECT_EQ(std::memcmp(buffer, multi, sizeof multi), 0);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, L"empty", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);

    // The default value answers to a null and to an empty name.
    wchar_t text[16];
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(key, L"", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, L"default");

    // Values enumerate in creation order.
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[32];
        DWORD chars = 32;
        if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"bin", L"q", L"multi", L"empty", L""}));

    EXPECT_EQ(RegDeleteValueW(key, L"BIN"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, L"bin"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, L"bin", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, KeysOpenCreateEnumerateDelete) {
    HKEY missing = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Nothing", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);

    DWORD disposition = 0;
    HKEY parent = create(HKEY_CURRENT_USER, L"Software\\Tree", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(create(HKEY_CURRENT_USER, L"software\\TREE", &disposition));
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(create(parent, L"beta"));
    RegCloseKey(create(parent, L"Alpha\\Deep"));
    RegCloseKey(create(parent, L"gamma"));

    // Sorted case-insensitively, in the spelling they were created with.
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[32];
        DWORD chars = 32;
        const LSTATUS st = RegEnumKeyExW(parent, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(st, ERROR_SUCCESS);
        EXPECT_EQ(chars, std::wcslen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta", L"gamma"}));
    wchar_t tiny[3];
    DWORD chars = 3;
    EXPECT_EQ(RegEnumKeyExW(parent, 0, tiny, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    // A key with subkeys cannot be deleted on its own; the tree can.
    EXPECT_EQ(RegDeleteKeyW(parent, L"alpha"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent, L"beta"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, L"beta"), ERROR_FILE_NOT_FOUND);
    HKEY deep = nullptr;
    ASSERT_EQ(RegOpenKeyExA(parent, "ALPHA\\deep", 0, KEY_READ, &deep), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(parent, L"Alpha"), ERROR_SUCCESS);
    // A handle to a deleted key reports it.
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(deep, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(parent, L"Alpha"), ERROR_FILE_NOT_FOUND);

    // RegDeleteTree with no subkey empties the key and keeps it.
    ASSERT_EQ(RegSetValueExW(parent, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(parent, nullptr), ERROR_SUCCESS);
    chars = 32;
    wchar_t name[32];
    EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(parent, L"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software", 0, KEY_READ, &parent), ERROR_BAD_PATHNAME);
}

TEST_F(Registry, RootsAreSeparateFilesInTheFolder) {
    HKEY user = create(HKEY_CURRENT_USER, L"Software\\Only\\User");
    RegCloseKey(user);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Software\\Only\\User", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_NE(storeText("HKCU.dvreg").find("Only"), std::string::npos);
    EXPECT_EQ(storeText("HKCR.dvreg"), "");
}

TEST_F(Registry, CorruptContentReadsAsMissing) {
    HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
    const DWORD value = 7;
    ASSERT_EQ(RegSetValueExW(key, L"camMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    const std::string good = storeText("HKCU.dvreg");
    ASSERT_FALSE(good.empty());

    // Every truncation of a valid file reads as missing, never as other data.
    for (size_t cut = 0; cut < good.size(); ++cut) {
        writeStore("HKCU.dvreg", good.substr(0, cut));
        LSTATUS st;
        readDword(key, "camMode", &st);
        EXPECT_EQ(st, ERROR_KEY_DELETED) << "cut at " << cut;  // the key itself is gone
    }
    const std::vector<std::string> broken = {
        "garbage",
        std::string("DVREG 1\nK =Software\nV =x 4 4 =0100000\nEND 2\n"),   // odd hex length
        std::string("DVREG 1\nK =Software\nV =x 4 4 =0100zz00\nEND 2\n"),  // not hex
        std::string("DVREG 1\nK =Software\nEND 5\n"),                      // wrong count
        std::string("DVREG 1\nK =Soft ware\nEND 1\n"),                     // raw space in a name
        std::string("DVREG 1\nK =Software\nEND 1\nK =More\n"),             // data after the trailer
        std::string("DVREG 2\nEND 0\n"),                                   // unknown version
        std::string("DVREG 1\nV =x 99999999999999999999 4 =00000000\nEND 1\n"),
        std::string("\0\0\0\0", 4),
    };
    for (const auto& text : broken) {
        writeStore("HKCU.dvreg", text);
        HKEY probe = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND)
            << text;
    }
    // The valid file reads again, and a write over a corrupt file keeps it aside.
    writeStore("HKCU.dvreg", good);
    LSTATUS st;
    EXPECT_EQ(readDword(key, "camMode", &st), 7u);
    EXPECT_EQ(st, ERROR_SUCCESS);
    writeStore("HKCU.dvreg", "garbage");
    RegCloseKey(key);
    key = create(HKEY_CURRENT_USER, valuesKeyPath);
    EXPECT_EQ(RegSetValueExW(key, L"camMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(storeText("HKCU.dvreg.corrupt"), "garbage");
    EXPECT_EQ(readDword(key, "camMode", &st), 7u);
    RegCloseKey(key);
}

// Key depth is capped at Windows' 512 levels: a deeper path is refused when
// created, and a file holding one reads as damaged (a 200,000-level file used to
// overflow the stack in the tree's destructor).
TEST_F(Registry, KeyDepthIsCappedInCallsAndFiles) {
    auto path = [](size_t levels, const std::string& sep) {
        std::string p = "Software";
        for (size_t i = 1; i < levels; ++i)
            p += sep + "a";
        return p;
    };
    for (size_t levels : {size_t(512), size_t(513)}) {
        const std::string text = path(levels, "\\");
        HKEY key = nullptr;
        const LSTATUS st = RegCreateKeyExA(HKEY_CURRENT_USER, text.c_str(), 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        EXPECT_EQ(st, levels == 512 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER) << levels;
        EXPECT_EQ(key != nullptr, levels == 512);
        if (key) RegCloseKey(key);
    }
    // What was refused left no trace: the deepest stored key has no subkey.
    HKEY deepest = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path(512, "\\").c_str(), 0, KEY_READ, &deepest),
              ERROR_SUCCESS);
    wchar_t name[256];
    DWORD chars = 256;
    EXPECT_EQ(RegEnumKeyExW(deepest, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(deepest);

    for (size_t levels : {size_t(512), size_t(513), size_t(200000)}) {
        writeStore("HKCU.dvreg", "DVREG 1\nK =" + path(levels, "\\") + "\nEND 1\n");
        HKEY probe = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &probe),
                  levels == 512 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND)
            << levels;
        if (probe) RegCloseKey(probe);
    }
}

TEST_F(Registry, StaleTempFileIsHarmless) {
    writeStore("HKCU.dvreg.tmp", "half written");
    HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
    const DWORD value = 3;
    ASSERT_EQ(RegSetValueExW(key, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    LSTATUS st;
    EXPECT_EQ(readDword(key, "v", &st), 3u);
    EXPECT_EQ(st, ERROR_SUCCESS);
    RegCloseKey(key);
}

// A writer killed at any moment leaves the old or the new content, never a
// damaged store.
TEST_F(Registry, KilledWriterLeavesAConsistentStore) {
    {
        HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
        const char keep[] = "kept";
        ASSERT_EQ(RegSetValueExA(key, "keep", 0, REG_SZ, reinterpret_cast<const BYTE*>(keep), sizeof keep),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    for (int round = 0; round < 5; ++round) {
        {
            // Each round's writer starts from no counter at all.
            HKEY key = create(HKEY_CURRENT_USER, valuesKeyPath);
            RegDeleteValueA(key, "counter");
            RegDeleteValueA(key, "filler");
            RegCloseKey(key);
        }
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HKEY key = nullptr;
            RegOpenKeyExW(HKEY_CURRENT_USER, valuesKeyPath, 0, KEY_ALL_ACCESS, &key);
            for (DWORD i = 0;; ++i) {
                std::string filler(static_cast<size_t>(i % 2000), 'f');
                RegSetValueExW(key, L"counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
                RegSetValueExA(key, "filler", 0, REG_SZ, reinterpret_cast<const BYTE*>(filler.c_str()),
                               static_cast<DWORD>(filler.size() + 1));
            }
        }
        // The child is killed only once it is writing: its first values are in
        // the store (read from here as a second process would). Then a delay
        // that differs per round, so that the kill lands at other moments.
        bool writing = false;
        for (int i = 0; i < 10000 && !writing; ++i) {
            HKEY probe = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, valuesKeyPath, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
                LSTATUS st;
                writing = readDword(probe, "counter", &st) >= 2 && st == ERROR_SUCCESS;
                RegCloseKey(probe);
            }
            if (!writing) usleep(1000);
        }
        usleep(3000 * round);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(writing) << "round " << round << ": the writer never wrote";

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, valuesKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS)
            << "round " << round;
        char text[16] = {};
        DWORD size = sizeof text;
        EXPECT_EQ(RegQueryValueExA(key, "keep", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
                  ERROR_SUCCESS);
        EXPECT_STREQ(text, "kept");
        // The last completed write is whole: "filler" belongs to the counter
        // read back or to the one before it (the child writes counter, then filler).
        LSTATUS st;
        const DWORD counter = readDword(key, "counter", &st);
        ASSERT_EQ(st, ERROR_SUCCESS) << "round " << round;
        size = 0;
        ASSERT_EQ(RegQueryValueExA(key, "filler", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS)
            << "round " << round;
        const DWORD fillerChars = size - 1;  // without its terminator
        EXPECT_TRUE(fillerChars == counter % 2000 || fillerChars == (counter - 1) % 2000)
            << "round " << round << ": counter " << counter << ", filler of " << fillerChars;
        RegCloseKey(key);
    }
}

// Two processes adding values to one key at the same time lose none.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int perChild = 60;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            for (int i = 0; i < perChild; ++i) {
                HKEY key = nullptr;
                if (RegCreateKeyExW(HKEY_CURRENT_USER, valuesKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &key, nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                const std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
                const DWORD value = static_cast<DWORD>(c * 1000 + i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   4) != ERROR_SUCCESS) {
                    ++failures;
                }
                RegCloseKey(key);
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, valuesKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < perChild; ++i) {
            const std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
            LSTATUS st;
            EXPECT_EQ(readDword(key, name.c_str(), &st), static_cast<DWORD>(c * 1000 + i)) << name;
            EXPECT_EQ(st, ERROR_SUCCESS) << name;
        }
    }
    RegCloseKey(key);
}

}  // namespace
