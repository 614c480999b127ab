// Attaching the two real cameras to the host's graph and detaching them.
//
// The cameras join the graph that the stereo filter has joined, as
// "Stereo Camera 1" (left) and "Stereo Camera 2" (right), are asked for the
// current capture format and are connected straight to the filter's input
// pins. The two attached camera filters are process-wide: every filter
// instance of the module shares them.
#pragma once

#include "framework/filter_core.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

class CameraFramePin;

// The filter names of the two cameras in the host's graph.
inline constexpr const wchar_t* leftCameraName = L"Stereo Camera 1";
inline constexpr const wchar_t* rightCameraName = L"Stereo Camera 2";

// The messages (caption "Error") of an attachment asked to use the virtual
// camera itself (a device or graph filter of the attaching filter's own
// class) as one of its cameras.
inline constexpr const char* selfAsLeftCameraText = "The virtual camera cannot use itself as the left camera";
inline constexpr const char* selfAsRightCameraText =
    "The virtual camera cannot use itself as the right camera";

// The attached left (`left` true) or right camera filter with a reference, or
// null. Safe from any thread (the image type page reads it on its own).
ComPtr<IBaseFilter> attachedCamera(bool left);

// Attaches both cameras for `owner` (the stereo filter; its graph is used)
// and connects them to `leftInput` ("Input1") and `rightInput` ("Input2").
// Runs on the host's thread that connects the output pin, without the filter
// lock (it calls the graph, which takes the graph's lock first). Shows the error boxes of the attachment; see
// the result codes:
//   S_OK and nothing done     owner is in no graph
//   E_POINTER                 owner or an input pin is null
//   E_FAIL                    fewer than 3 listed devices; left and right
//                             index equal; an index that names no list entry
//                             ("Can't find left/right camera" is shown)
//   VFW_E_TYPE_NOT_ACCEPTED   a side would be another instance of owner's
//                             own class: its list entry's class, the class
//                             of the filter found under the side's name, or
//                             that of the filter its moniker creates
//                             (selfAs...CameraText is shown)
//   the bind / add failure    a camera cannot be created / added to the graph
//   VFW_E_NOT_FOUND           a camera filter has no output pin
//   otherwise                 the result of connecting the right camera
// Both sides are checked (names looked up, indices and list entries tested)
// before anything joins the graph. A failed attachment leaves the graph as
// it found it: the connections it made are broken, the filters it added are
// removed (filters found under the two names stay), and both attached
// camera references are cleared.
HRESULT attachCameras(FilterCore* owner, IPin* leftInput, IPin* rightInput);

// Asks `cameraPin` (through IAMStreamConfig) for the first capability of
// MEDIATYPE_Video / `subtype` / FORMAT_VideoInfo, rewritten to `width` x
// `height` at `framesPerSecond`. Returns a negative value when no such
// capability exists (or the pin has no IAMStreamConfig), a positive one
// otherwise, also when the camera refuses the format ("Set video format not
// successful" is then shown).
int setCaptureFormat(IPin* cameraPin, const GUID& subtype, int width, int height, int framesPerSecond);

// The first pin of `filter` whose direction is `direction`, with a reference,
// or null (null filter, no pin enumerator, no such pin).
ComPtr<IPin> findFirstPin(IBaseFilter* filter, PIN_DIRECTION direction);

// The camera half of the output pin's Disconnect, called without the filter lock (graph calls):
// through owner's graph, disconnects `input1`, the camera pin connected to
// it, `input2` and the camera pin connected to it; drops both held frames;
// removes the left then the right camera filter from the graph and releases
// them. Returns the result of the last graph call made (S_OK when none was).
// Outside a graph the held frames and camera references are still dropped.
HRESULT detachCameras(FilterCore* owner, CameraFramePin* input1, CameraFramePin* input2);
