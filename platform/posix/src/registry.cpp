// The registry: one file per root key (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE) in the per-user registry folder:
//   $DV_REGISTRY_DIR if set and not empty, else $XDG_CONFIG_HOME/duoview2/registry,
//   else $HOME/.config/duoview2/registry.
// The folder is looked up again by every call, so a process (a test) may
// change it between calls.
//
// The file format is registry_format.h's. A file that does not follow it in
// every detail reads as an empty root: its content is missing, never misread.
// Before it is replaced by the next write it is kept aside as <file>.corrupt.
//
// Durability and sharing: every write takes an exclusive flock on
// <file>.lock, reads the current file, changes it, writes <file>.tmp, fsyncs
// it, renames it over the file and fsyncs the folder; readers never lock and
// always see either the old or the new complete file. Every call reads the
// file again, so changes by other processes are seen at once.
//
// String values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are kept as the wide
// form (wchar_t units, as the W calls pass them); the A calls convert from
// and to UTF-8. Other types keep their bytes as given.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "registry_format.h"
#include "runtime.h"

namespace {

using dvrt::fromUtf8;
using dvrt::Key;
using dvrt::maxFileBytes;
using dvrt::maxKeyDepth;
using dvrt::maxKeyNameChars;
using dvrt::maxValueNameChars;
using dvrt::toUtf8;
using dvrt::upperCase;
using dvrt::Value;

enum class Root { Classes, User, Machine };

// An open key: its root and path. Keys are looked up by path at every call,
// because the store is read again each time.
struct KeyHandle {
    Root root;
    std::vector<std::wstring> path;
};

// Guards `liveHandles` and serialises this process's registry calls.
std::mutex registryLock;
std::set<KeyHandle*>& liveHandles() {
    static auto* handles = new std::set<KeyHandle*>;
    return *handles;
}

bool isPredefined(HKEY key, Root* root) {
    if (key == HKEY_CLASSES_ROOT) {
        *root = Root::Classes;
    } else if (key == HKEY_CURRENT_USER) {
        *root = Root::User;
    } else if (key == HKEY_LOCAL_MACHINE) {
        *root = Root::Machine;
    } else {
        return false;
    }
    return true;
}

// Root and path of `key`; false for a handle that is neither predefined nor open.
bool resolve(HKEY key, Root* root, std::vector<std::wstring>* path) {
    if (isPredefined(key, root)) {
        path->clear();
        return true;
    }
    auto* h = reinterpret_cast<KeyHandle*>(key);
    if (!liveHandles().count(h)) return false;
    *root = h->root;
    *path = h->path;
    return true;
}

// ---- files -------------------------------------------------------------------
// The environment is read, never written, here (the host program sets
// DV_REGISTRY_DIR before it starts any thread), and the password entry is
// read only when HOME is not set, by whichever thread opens the store first.
// NOLINTBEGIN(concurrency-mt-unsafe)
std::string registryFolder() {
    if (const char* dir = std::getenv("DV_REGISTRY_DIR"); dir && *dir) return dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::string(xdg) + "/duoview2/registry";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.config/duoview2/registry";
}
// NOLINTEND(concurrency-mt-unsafe)

std::string storeFile(Root root) {
    const char* name = root == Root::Classes ? "HKCR.dvreg"
                       : root == Root::User  ? "HKCU.dvreg"
                                             : "HKLM.dvreg";
    return registryFolder() + "/" + name;
}

bool makeFolders(const std::string& folder) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        partial = folder.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

enum class FileState { Missing, Valid, Corrupt };

// Reads and parses the store of `root` into `out` (empty unless Valid).
FileState loadStore(Root root, Key* out) {
    *out = Key();
    const std::string file = storeFile(root);
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileState::Missing;
    std::string text;
    char buffer[65536];
    bool tooLarge = false;
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > maxFileBytes) {
            tooLarge = true;
            break;
        }
    }
    close(fd);
    if (tooLarge || !parse(text, out)) {
        *out = Key();
        return FileState::Corrupt;
    }
    return FileState::Valid;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the store file of `root` with `key`, atomically. Called with the
// store's file lock held.
LSTATUS saveStore(Root root, const Key& key, FileState previous) {
    const std::string file = storeFile(root);
    const std::string temp = file + ".tmp";
    if (previous == FileState::Corrupt) rename(file.c_str(), (file + ".corrupt").c_str());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return ERROR_ACCESS_DENIED;
    const bool ok = writeAll(fd, serialise(key)) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        unlink(temp.c_str());
        return ERROR_CANTWRITE;
    }
    const int dir = open(registryFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return ERROR_SUCCESS;
}

// Holds the exclusive file lock of one store for a read-modify-write.
class StoreWriteLock {
public:
    explicit StoreWriteLock(Root root) {
        const std::string folder = registryFolder();
        if (!makeFolders(folder)) return;
        fd = open((storeFile(root) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd);
                fd = -1;
                return;
            }
        }
    }
    ~StoreWriteLock() {
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
        }
    }
    StoreWriteLock(const StoreWriteLock&) = delete;
    StoreWriteLock& operator=(const StoreWriteLock&) = delete;
    bool held() const { return fd >= 0; }

private:
    int fd = -1;
};

// ---- key paths -----------------------------------------------------------------
LSTATUS splitPath(LPCWSTR subKey, std::vector<std::wstring>* parts) {
    if (!subKey) return ERROR_SUCCESS;
    const std::wstring text(subKey);
    if (!text.empty() && text[0] == L'\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start < text.size()) {
        size_t sep = text.find(L'\\', start);
        if (sep == std::wstring::npos) sep = text.size();
        if (sep == start) return ERROR_BAD_PATHNAME;  // "a\\b"
        if (sep - start > maxKeyNameChars) return ERROR_INVALID_PARAMETER;
        if (parts->size() >= maxKeyDepth) return ERROR_INVALID_PARAMETER;
        parts->push_back(text.substr(start, sep - start));
        start = sep + 1;  // a trailing '\' is accepted
    }
    return ERROR_SUCCESS;
}

Key* findKey(Key* root, const std::vector<std::wstring>& path) {
    Key* k = root;
    for (const auto& name : path) {
        k = k->child(name);
        if (!k) return nullptr;
    }
    return k;
}

HKEY newHandle(Root root, std::vector<std::wstring> path) {
    auto* h = new KeyHandle{root, std::move(path)};
    liveHandles().insert(h);
    return reinterpret_cast<HKEY>(h);
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Runs `change` on the freshly read store of `root` under its file lock and
// saves the result when `change` answers ERROR_SUCCESS and reports a change.
template <class Change>
LSTATUS modifyStore(Root root, Change change) {
    StoreWriteLock lock(root);
    if (!lock.held()) return ERROR_ACCESS_DENIED;
    Key store;
    const FileState state = loadStore(root, &store);
    bool changed = false;
    const LSTATUS st = change(&store, &changed);
    if (st != ERROR_SUCCESS || !changed) return st;
    return saveStore(root, store, state);
}

// Runs `read` on the key that `key` names in a fresh read of its root's store.
// ERROR_INVALID_HANDLE for an unknown handle, ERROR_KEY_DELETED when the key
// is gone; else what `read` answers.
template <class Read>
LSTATUS readKey(HKEY key, Read read) {
    Root root;
    std::vector<std::wstring> path;
    if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
    Key store;
    loadStore(root, &store);
    Key* k = findKey(&store, path);
    if (!k) return ERROR_KEY_DELETED;
    return read(k);
}

// modifyStore for the key that `key` names: `change` runs on it as
// change(Key*, bool* changed). ERROR_INVALID_HANDLE for an unknown handle,
// ERROR_KEY_DELETED when the key is gone.
template <class Change>
LSTATUS modifyKey(HKEY key, Change change) {
    Root root;
    std::vector<std::wstring> path;
    if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
    return modifyStore(root, [&](Key* store, bool* changed) -> LSTATUS {
        Key* k = findKey(store, path);
        if (!k) return ERROR_KEY_DELETED;
        return change(k, changed);
    });
}

// ---- the calls, wide form ---------------------------------------------------------
LSTATUS openKey(HKEY key, LPCWSTR subKey, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Root root;
    std::vector<std::wstring> base;
    if (!resolve(key, &root, &base)) return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> path = base;
    if (const LSTATUS st = splitPath(subKey, &path); st != ERROR_SUCCESS) return st;
    Key store;
    loadStore(root, &store);
    if (!findKey(&store, base)) return ERROR_KEY_DELETED;
    Key* k = findKey(&store, path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    // Keep the stored spelling of each component.
    std::vector<std::wstring> spelled;
    Key* walk = &store;
    for (const auto& name : path) {
        walk = walk->child(name);
        spelled.push_back(walk->name);
    }
    *result = newHandle(root, std::move(spelled));
    return ERROR_SUCCESS;
}

LSTATUS createKey(HKEY key, LPCWSTR subKey, PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Root root;
    std::vector<std::wstring> base;
    if (!resolve(key, &root, &base)) return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> path = base;
    if (const LSTATUS st = splitPath(subKey, &path); st != ERROR_SUCCESS) return st;
    bool created = false;
    std::vector<std::wstring> spelled;
    const LSTATUS st = modifyStore(root, [&](Key* store, bool* changed) -> LSTATUS {
        if (!findKey(store, base)) return ERROR_KEY_DELETED;
        Key* k = store;
        for (const auto& name : path) {
            Key* next = k->child(name);
            if (!next) {
                auto fresh = std::make_unique<Key>();
                fresh->name = name;
                next = fresh.get();
                k->subkeys[upperCase(name)] = std::move(fresh);
                created = true;
            }
            spelled.push_back(next->name);
            k = next;
        }
        *changed = created;
        return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = newHandle(root, std::move(spelled));
    return ERROR_SUCCESS;
}

// Finds the value `name` of `key`; fills `*found` with a copy.
LSTATUS readValue(HKEY key, LPCWSTR name, Value* found) {
    return readKey(key, [&](Key* k) -> LSTATUS {
        Value* v = k->value(name ? name : L"");
        if (!v) return ERROR_FILE_NOT_FOUND;
        *found = *v;
        return ERROR_SUCCESS;
    });
}

// Hands `bytes` out through the Win32 query convention.
LSTATUS giveData(const std::vector<BYTE>& bytes, DWORD valueType, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    if (type) *type = valueType;
    if (!size) return ERROR_SUCCESS;
    const auto needed = static_cast<DWORD>(bytes.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed) std::memcpy(data, bytes.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS setValue(HKEY key, LPCWSTR name, DWORD type, std::vector<BYTE> bytes) {
    const std::wstring valueName = name ? name : L"";
    if (valueName.size() > maxValueNameChars) return ERROR_INVALID_PARAMETER;
    return modifyKey(key, [&](Key* k, bool* changed) -> LSTATUS {
        Value* v = k->value(valueName);
        if (!v) {
            k->values.push_back(Value{valueName, type, {}});
            v = &k->values.back();
        }
        v->type = type;
        v->data = std::move(bytes);
        *changed = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS deleteValue(HKEY key, LPCWSTR name) {
    const std::wstring valueName = name ? name : L"";
    return modifyKey(key, [&](Key* k, bool* changed) -> LSTATUS {
        for (auto it = k->values.begin(); it != k->values.end(); ++it) {
            if (dvrt::equalNoCase(it->name, valueName)) {
                k->values.erase(it);
                *changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS deleteKey(HKEY key, LPCWSTR subKey, bool wholeTree) {
    Root root;
    std::vector<std::wstring> base;
    if (!resolve(key, &root, &base)) return ERROR_INVALID_HANDLE;
    if (!subKey && !wholeTree) return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> path = base;
    if (const LSTATUS st = splitPath(subKey, &path); st != ERROR_SUCCESS) return st;
    return modifyStore(root, [&](Key* store, bool* changed) -> LSTATUS {
        if (!findKey(store, base)) return ERROR_KEY_DELETED;
        Key* target = findKey(store, path);
        if (!target) return ERROR_FILE_NOT_FOUND;
        if (wholeTree && !subKey) {
            // RegDeleteTree with no subkey: empties the key, which stays.
            *changed = !target->subkeys.empty() || !target->values.empty();
            target->subkeys.clear();
            target->values.clear();
            return ERROR_SUCCESS;
        }
        if (path.empty()) return ERROR_ACCESS_DENIED;  // a root key cannot be deleted
        if (!wholeTree && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
        std::vector<std::wstring> parentPath(path.begin(), path.end() - 1);
        Key* parent = findKey(store, parentPath);
        parent->subkeys.erase(upperCase(path.back()));
        *changed = true;
        return ERROR_SUCCESS;
    });
}

// UTF-8 <-> stored wide bytes for the A calls.
std::vector<BYTE> wideBytesFromUtf8(const BYTE* data, DWORD size) {
    const std::wstring wide = fromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<BYTE> out(wide.size() * sizeof(WCHAR));
    if (!out.empty()) std::memcpy(out.data(), wide.data(), out.size());
    return out;
}

std::vector<BYTE> utf8FromWideBytes(const std::vector<BYTE>& bytes) {
    std::wstring wide(bytes.size() / sizeof(WCHAR), L'\0');
    if (!wide.empty()) std::memcpy(&wide[0], bytes.data(), wide.size() * sizeof(WCHAR));
    const std::string narrow = toUtf8(wide);
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

std::wstring wideArg(LPCSTR text) {
    return text ? fromUtf8(text) : std::wstring();
}

}  // namespace

DVAPI LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM /*sam*/, PHKEY result) {
    std::lock_guard<std::mutex> guard(registryLock);
    return openKey(key, subKey, result);
}

DVAPI LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    if (!subKey) return RegOpenKeyExW(key, nullptr, options, sam, result);
    return RegOpenKeyExW(key, wideArg(subKey).c_str(), options, sam, result);
}

DVAPI LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*cls*/, DWORD /*options*/,
                              REGSAM /*sam*/, SECURITY_ATTRIBUTES* /*security*/, PHKEY result,
                              LPDWORD disposition) {
    std::lock_guard<std::mutex> guard(registryLock);
    return createKey(key, subKey, result, disposition);
}

DVAPI LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*cls*/, DWORD options,
                              REGSAM sam, SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition) {
    const std::wstring sub = wideArg(subKey);
    return RegCreateKeyExW(key, subKey ? sub.c_str() : nullptr, reserved, nullptr, options, sam, security,
                           result, disposition);
}

DVAPI LSTATUS RegCloseKey(HKEY key) {
    Root root;
    if (isPredefined(key, &root)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(registryLock);
    auto* h = reinterpret_cast<KeyHandle*>(key);
    if (!liveHandles().erase(h)) return ERROR_INVALID_HANDLE;
    delete h;
    return ERROR_SUCCESS;
}

DVAPI LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD /*reserved*/, LPDWORD type, LPBYTE data,
                               LPDWORD size) {
    std::lock_guard<std::mutex> guard(registryLock);
    Value v;
    const LSTATUS st = readValue(key, name, &v);
    if (st != ERROR_SUCCESS) return st;
    return giveData(v.data, v.type, type, data, size);
}

DVAPI LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD /*reserved*/, LPDWORD type, LPBYTE data,
                               LPDWORD size) {
    std::lock_guard<std::mutex> guard(registryLock);
    Value v;
    const std::wstring wideName = wideArg(name);
    const LSTATUS st = readValue(key, wideName.c_str(), &v);
    if (st != ERROR_SUCCESS) return st;
    return giveData(isStringType(v.type) ? utf8FromWideBytes(v.data) : v.data, v.type, type, data, size);
}

DVAPI LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                             DWORD size) {
    if (!data && size) return ERROR_NOACCESS;
    std::lock_guard<std::mutex> guard(registryLock);
    std::vector<BYTE> bytes(size);
    if (size) std::memcpy(bytes.data(), data, size);
    if (isStringType(type)) bytes.resize(size - size % sizeof(WCHAR));  // whole characters only
    return setValue(key, name, type, std::move(bytes));
}

DVAPI LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                             DWORD size) {
    if (!data && size) return ERROR_NOACCESS;
    std::lock_guard<std::mutex> guard(registryLock);
    std::vector<BYTE> bytes;
    if (isStringType(type)) {
        bytes = wideBytesFromUtf8(data, size);
    } else {
        bytes.assign(data, data + size);
    }
    const std::wstring wideName = wideArg(name);
    return setValue(key, wideName.c_str(), type, std::move(bytes));
}

DVAPI LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
    std::lock_guard<std::mutex> guard(registryLock);
    return deleteValue(key, name);
}

DVAPI LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
    const std::wstring wideName = wideArg(name);
    return RegDeleteValueW(key, wideName.c_str());
}

DVAPI LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    std::lock_guard<std::mutex> guard(registryLock);
    return deleteKey(key, subKey, false);
}

DVAPI LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) return RegDeleteKeyW(key, nullptr);
    return RegDeleteKeyW(key, wideArg(subKey).c_str());
}

DVAPI LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    std::lock_guard<std::mutex> guard(registryLock);
    return deleteKey(key, subKey, true);
}

DVAPI LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey) {
    if (!subKey) return RegDeleteTreeW(key, nullptr);
    return RegDeleteTreeW(key, wideArg(subKey).c_str());
}

DVAPI LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD /*reserved*/,
                            LPWSTR cls, LPDWORD classChars, FILETIME* lastWrite) {
    if (!name || !nameChars) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(registryLock);
    return readKey(key, [&](Key* k) -> LSTATUS {
        if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
        auto it = k->subkeys.begin();
        std::advance(it, index);
        const std::wstring& found = it->second->name;
        if (found.size() + 1 > *nameChars) return ERROR_MORE_DATA;
        std::wmemcpy(name, found.c_str(), found.size() + 1);
        *nameChars = static_cast<DWORD>(found.size());
        if (cls && classChars && *classChars) cls[0] = 0;
        if (classChars) *classChars = 0;
        if (lastWrite) *lastWrite = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

DVAPI LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD /*reserved*/,
                            LPDWORD type, LPBYTE data, LPDWORD size) {
    if (!name || !nameChars) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(registryLock);
    return readKey(key, [&](Key* k) -> LSTATUS {
        if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
        const Value& v = k->values[index];
        if (v.name.size() + 1 > *nameChars) return ERROR_MORE_DATA;
        std::wmemcpy(name, v.name.c_str(), v.name.size() + 1);
        *nameChars = static_cast<DWORD>(v.name.size());
        return giveData(v.data, v.type, type, data, size);
    });
}
