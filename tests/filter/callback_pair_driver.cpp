#include "callback_pair_driver.h"

#include "compositor/image_mode.h"
#include "filter_fakes.h"
#include "framework/runtime_settings.h"

struct CallbackPairDriver::Rig {
    StereoRig stereo{width, height};
    ComPtr<IStereoFrameCallback> callbacks;
    ComPtr<FakeSample> left{new FakeSample(static_cast<size_t>(width) * 3 * height)};
    ComPtr<FakeSample> right{new FakeSample(static_cast<size_t>(width) * 3 * height)};
};

CallbackPairDriver::CallbackPairDriver() {
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    rig.reset(new Rig);
    runtimeSettings.imageMode = LeftImage;
    runtimeSettings.swapCameras = 0;
    EXPECT_HRESULT_SUCCEEDED(rig->stereo.filterRef.As(&rig->callbacks));
    EXPECT_EQ(rig->stereo.start(), S_OK);
}

CallbackPairDriver::~CallbackPairDriver() {
    rig.reset();
    runtimeSettings.imageMode = defaultImageMode;
}

IStereoFrameCallback* CallbackPairDriver::callbacks() {
    return rig->callbacks.Get();
}
std::vector<BYTE>& CallbackPairDriver::leftBuffer() {
    return rig->left->buffer;
}
std::vector<BYTE>& CallbackPairDriver::rightBuffer() {
    return rig->right->buffer;
}

bool CallbackPairDriver::deliverPair() {
    const size_t before = rig->stereo.sink->pin->deliveries.size();
    if (rig->stereo.filter->leftInput()->Receive(rig->left.Get()) != S_OK) return false;
    if (rig->stereo.filter->rightInput()->Receive(rig->right.Get()) != S_OK) return false;
    return rig->stereo.sink->pin->deliveries.size() == before + 1;
}
