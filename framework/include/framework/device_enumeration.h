// The devices of the video input category, as a device enumerator lists them.
#pragma once

#include <functional>

#include "platform/win.h"

// Called once per device, in the enumerator's order, on the calling thread:
// its moniker, its property bag (null when the moniker cannot bind one) and
// its "FriendlyName" (null when the bag is missing, has no name or the name
// is not a string). None of them is counted; all are valid during the call.
using VideoInputVisitor =
    std::function<void(IMoniker* moniker, IPropertyBag* bag, const wchar_t* friendlyName)>;

// Visits the video input devices of `devices`. Returns E_POINTER for a null
// enumerator, CreateClassEnumerator's answer when it is not S_OK (S_FALSE: an
// empty category), else the answer of the last IEnumMoniker::Next (S_FALSE
// at the end of the list).
HRESULT forEachVideoInputDevice(ICreateDevEnum* devices, const VideoInputVisitor& visit);

// The same with the system device enumerator; CoCreateInstance's failure when
// it cannot be created.
HRESULT forEachVideoInputDevice(const VideoInputVisitor& visit);
