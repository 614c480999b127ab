// The registry store's file format (internal to the runtime): the key tree a
// store file holds, and its text form.
//
// File format (UTF-8 text, one record per line):
//   DVREG 1
//   K =<path>                        a key; components joined by '\'
//   V =<name> <type> <bytes> =<hex>  a value of the key named last (or of the root)
//   END <number of K and V lines>
// Names are written with every byte outside '!'..'~' and the bytes '%', '\'
// and '=' as %XX. A text that does not follow this format in every detail
// (header, record syntax, hex digits, lengths, trailer count, key depth) is
// refused as a whole: its content is missing, never misread.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime.h"

namespace dvrt {

constexpr size_t maxKeyNameChars = 255;
// Levels below a root, as on Windows. Keeps every walk over a tree (parse,
// save, the destructor of Key) to a bounded depth of recursion.
constexpr size_t maxKeyDepth = 512;
constexpr size_t maxValueNameChars = 16383;
constexpr size_t maxFileBytes = 64u << 20;

struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::wstring name;
    std::map<std::wstring, std::unique_ptr<Key>> subkeys;  // by upper-case name
    std::vector<Value> values;                             // in order of creation

    Key* child(const std::wstring& n) const {
        auto it = subkeys.find(upperCase(n));
        return it == subkeys.end() ? nullptr : it->second.get();
    }
    Value* value(const std::wstring& n) {
        for (auto& v : values) {
            if (equalNoCase(v.name, n)) return &v;
        }
        return nullptr;
    }
};

// The text form of the tree below `root` (the root's own name is not written).
std::string serialise(const Key& root);
// Parses a whole store text; false (and `root` untouched) when anything is off.
bool parse(const std::string& text, Key* root);

}  // namespace dvrt
