// The component-server helpers: class objects hold the module while they or a
// server lock exist, and CreateInstance's shared steps refuse, fail and
// release as a class factory must.
#include <gtest/gtest.h>

#include <new>

#include "framework/module_server.h"

namespace {

// What the creator below saw, and what it answers.
struct CreatorRecord {
    int calls = 0;
    IUnknown* outer = nullptr;
    HRESULT answer = S_OK;
};

HRESULT recordingCreator(const void* context, IUnknown* outer, REFIID, void** ppv) {
    auto* record = static_cast<CreatorRecord*>(const_cast<void*>(context));
    ++record->calls;
    record->outer = outer;
    if (ppv) *ppv = nullptr;
    return record->answer;
}

TEST(ModuleServer, ClassObjectForwardsToItsCreatorAndHoldsTheModuleWithServerLocks) {
    ASSERT_EQ(moduleUnloadAnswer(), S_OK) << "an earlier test left a framework object alive";
    CreatorRecord record;
    record.answer = E_ACCESSDENIED;

    void* unknownInterface = reinterpret_cast<void*>(1);
    EXPECT_EQ(makeClassObject(recordingCreator, &record, IID_IMemAllocator, &unknownInterface),
              E_NOINTERFACE);
    EXPECT_EQ(unknownInterface, nullptr);
    EXPECT_EQ(moduleUnloadAnswer(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        makeClassObject(recordingCreator, &record, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(moduleUnloadAnswer(), S_FALSE);

    IUnknown* made = nullptr;
    IUnknown* outer = reinterpret_cast<IUnknown*>(factory);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&made)), E_ACCESSDENIED);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.outer, outer);

    // Two locks, the object released: the module stays until both are undone.
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(moduleUnloadAnswer(), S_FALSE);
    // Each lock undone through a new class object, released again at once.
    for (HRESULT afterUnlock : {S_FALSE, S_OK}) {
        ASSERT_EQ(
            makeClassObject(recordingCreator, &record, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
        factory->Release();
        EXPECT_EQ(moduleUnloadAnswer(), afterUnlock);
    }
}

// A component that only answers IUnknown.
class PlainComponent : public ComponentCore {
public:
    explicit PlainComponent(IUnknown* outer) : ComponentCore(outer) {}
};

TEST(ModuleServer, CreateComponentChecksArgumentsAndReleasesWhatItCannotHandOut) {
    IUnknown* outer = reinterpret_cast<IUnknown*>(8);  // never called: refused or only stored
    struct Case {
        const char* what;
        IUnknown* outer;
        const IID* riid;
        bool nullPpv;
        HRESULT status;    // what the constructor reports
        bool outOfMemory;  // make returns null
        HRESULT expected;
        int makeCalls;
    };
    const Case cases[] = {
        {"plain", nullptr, &IID_IUnknown, false, S_OK, false, S_OK, 1},
        {"aggregated for IUnknown", outer, &IID_IUnknown, false, S_OK, false, S_OK, 1},
        {"aggregated for another interface", outer, &IID_IClassFactory, false, S_OK, false,
         CLASS_E_NOAGGREGATION, 0},
        {"null out pointer", nullptr, &IID_IUnknown, true, S_OK, false, E_POINTER, 0},
        {"constructor failed", nullptr, &IID_IUnknown, false, E_FAIL, false, E_FAIL, 1},
        {"out of memory", nullptr, &IID_IUnknown, false, S_OK, true, E_OUTOFMEMORY, 1},
        {"interface not offered", nullptr, &IID_IClassFactory, false, S_OK, false, E_NOINTERFACE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(moduleUnloadAnswer(), S_OK);
        int makeCalls = 0;
        void* got = reinterpret_cast<void*>(1);
        const HRESULT hr = createComponent(
            c.outer, *c.riid, c.nullPpv ? nullptr : &got, [&](HRESULT* status) -> ComponentCore* {
                ++makeCalls;
                *status = c.status;
                return c.outOfMemory ? nullptr : new (std::nothrow) PlainComponent(c.outer);
            });
        EXPECT_EQ(hr, c.expected);
        EXPECT_EQ(makeCalls, c.makeCalls);
        if (c.nullPpv) continue;
        if (FAILED(hr)) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(moduleUnloadAnswer(), S_FALSE);  // the caller's reference keeps it
            // Aggregated or not, the reference handed out is the inner unknown's.
            static_cast<IUnknown*>(got)->Release();
        }
        EXPECT_EQ(moduleUnloadAnswer(), S_OK) << "the component was not released";
    }
}

}  // namespace
