// The registry store's text form on its own: what a tree is written as, that
// every tree reads back as written, and that any text off the format in any
// detail is refused whole.
#include <gtest/gtest.h>

#include <string>

#include "registry_format.h"

namespace {

using dvrt::Key;
using dvrt::Value;

Key* addKey(Key* parent, const std::wstring& name) {
    auto& slot = parent->subkeys[dvrt::upperCase(name)];
    slot = std::make_unique<Key>();
    slot->name = name;
    return slot.get();
}

void addValue(Key* key, const std::wstring& name, DWORD type, std::vector<BYTE> data) {
    key->values.push_back(Value{name, type, std::move(data)});
}

// Keys, names, types and bytes of two trees, compared in full.
void expectSameTree(const Key& a, const Key& b, const std::wstring& where) {
    EXPECT_EQ(a.name, b.name) << std::string(where.begin(), where.end());
    ASSERT_EQ(a.values.size(), b.values.size());
    for (size_t i = 0; i < a.values.size(); ++i) {
        EXPECT_EQ(a.values[i].name, b.values[i].name);
        EXPECT_EQ(a.values[i].type, b.values[i].type);
        EXPECT_EQ(a.values[i].data, b.values[i].data);
    }
    ASSERT_EQ(a.subkeys.size(), b.subkeys.size());
    for (const auto& [upper, child] : a.subkeys) {
        const auto other = b.subkeys.find(upper);
        ASSERT_NE(other, b.subkeys.end());
        expectSameTree(*child, *other->second, where + L"\\" + child->name);
    }
}

TEST(RegistryFormat, TreesAreWrittenAsTheFormatSaysAndReadBackUnchanged) {
    struct Case {
        const char* what;
        void (*build)(Key*);
        const char* text;
    };
    const Case cases[] = {
        {"empty root", [](Key*) {}, "DVREG 1\nEND 0\n"},
        {"root value",
         [](Key* r) {
             addValue(r, L"", REG_DWORD, {1, 0, 0, 0});
         },
         "DVREG 1\nV = 4 4 =01000000\nEND 1\n"},
        {"nested keys",
         [](Key* r) {
             Key* a = addKey(r, L"Software");
             addValue(addKey(a, L"Vendor"), L"camMode", REG_DWORD, {3, 0, 0, 0});
         },
         "DVREG 1\nK =Software\nK =Software\\Vendor\nV =camMode 4 4 =03000000\nEND 3\n"},
        {"escaped names",
         [](Key* r) {
             addValue(addKey(r, L"a b%c"), L"x=y\\z", REG_BINARY, {0xff, 0x00});
         },
         "DVREG 1\nK =a%20b%25c\nV =x%3dy%5cz 3 2 =ff00\nEND 2\n"},
        {"non-ASCII name, empty data", [](Key* r) { addValue(r, L"K\u00e4se", REG_SZ, {}); },
         "DVREG 1\nV =K%c3%a4se 1 0 =\nEND 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Key tree;
        c.build(&tree);
        EXPECT_EQ(dvrt::serialise(tree), c.text);
        Key read;
        ASSERT_TRUE(dvrt::parse(c.text, &read));
        expectSameTree(tree, read, L"");
        EXPECT_EQ(dvrt::serialise(read), c.text);
    }
}

TEST(RegistryFormat, TextOffTheFormatIsRefusedAndLeavesTheTreeAlone) {
    const char* const refused[] = {
        "",                                       // no header
        "DVREG 1\n",                              // no trailer
        "DVREG 2\nEND 0\n",                       // another version
        "DVREG 1\nEND 0",                         // last line without newline
        "DVREG 1\nEND 1\n",                       // count differs
        "DVREG 1\nEND 0\nEND 0\n",                // content after the trailer
        "DVREG 1\nEND x\n",                       // count not a number
        "DVREG 1\nX =a\nEND 1\n",                 // unknown record
        "DVREG 1\nK a\nEND 1\n",                  // key path without '='
        "DVREG 1\nK =\nEND 1\n",                  // empty key path
        "DVREG 1\nK =a\\\nEND 1\n",               // empty path component
        "DVREG 1\nK =a b\nEND 1\n",               // raw space in a name
        "DVREG 1\nK =a%2\nEND 1\n",               // short escape
        "DVREG 1\nK =a%zz\nEND 1\n",              // escape not hex
        "DVREG 1\nV =v 4 4 =010000\nEND 1\n",     // fewer hex digits than bytes
        "DVREG 1\nV =v 4 2 =01g0\nEND 1\n",       // data not hex
        "DVREG 1\nV =v 4 1\nEND 1\n",             // missing data field
        "DVREG 1\nV =v 4294967296 0 =\nEND 1\n",  // type beyond 32 bits
        "DVREG 1\nV =v -1 0 =\nEND 1\n",          // negative type
        "DVREG 1\nV v 4 0 =\nEND 1\n",            // value name without '='
        "DVREG 1\nV =v 4 0 = \nEND 1\n",          // trailing field
    };
    for (const char* text : refused) {
        SCOPED_TRACE(std::string("text: ") + text);
        Key tree;
        addValue(&tree, L"kept", REG_DWORD, {7, 0, 0, 0});
        EXPECT_FALSE(dvrt::parse(text, &tree));
        ASSERT_EQ(tree.values.size(), 1u);
        EXPECT_EQ(tree.values[0].name, L"kept");
    }
}

TEST(RegistryFormat, KeyPathsDeeperThanTheCapAreRefused) {
    for (size_t depth : {dvrt::maxKeyDepth, dvrt::maxKeyDepth + 1}) {
        std::string path = "=k";
        for (size_t i = 1; i < depth; ++i)
            path += "\\k";
        Key tree;
        const bool read = dvrt::parse("DVREG 1\nK " + path + "\nEND 1\n", &tree);
        EXPECT_EQ(read, depth <= dvrt::maxKeyDepth) << depth;
    }
}

}  // namespace
