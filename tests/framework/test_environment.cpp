// The test process initialises the component library once, as a host does
// (on Windows CoCreateInstance fails without it).
#include <gtest/gtest.h>

#include "platform/win.h"

namespace {

class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        if (SUCCEEDED(initialised)) CoUninitialize();
    }

private:
    HRESULT initialised = E_FAIL;
};

const ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace
