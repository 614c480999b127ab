// One pair of 320 x 240 camera pictures through a virtual camera filter
// connected to fake cameras and a fake sink, for tests whose translation unit
// must not see the filter's class (a host's view: only the public interface
// header, perhaps after the image library's own C types).
#pragma once

#include <memory>
#include <vector>

#include "platform/win.h"

struct IStereoFrameCallback;

class CallbackPairDriver {
public:
    static constexpr int width = 320;
    static constexpr int height = 240;

    CallbackPairDriver();  // a filter with both cameras connected and running
    ~CallbackPairDriver();
    CallbackPairDriver(const CallbackPairDriver&) = delete;
    CallbackPairDriver& operator=(const CallbackPairDriver&) = delete;

    // The filter's callback interface; counted by the driver, valid for its lifetime.
    IStereoFrameCallback* callbacks();
    // The next pair's sample buffers (width x 3 x height bytes each), filled
    // by the caller before deliverPair().
    std::vector<BYTE>& leftBuffer();
    std::vector<BYTE>& rightBuffer();
    // Receives the left, then the right sample on the filter's input pins;
    // true when the pair reached the sink.
    bool deliverPair();

private:
    struct Rig;
    std::unique_ptr<Rig> rig;
};
