// The list of installed video input devices and the matching of the stored
// camera names to list positions.
//
// Lifetime: the list is empty when the module is loaded, built once by the
// first filter created in the process (ensureCameraList), never refreshed,
// and emptied at module unload (releaseCameraList).
//
// Threads: the list is appended to only while it is built, under the build
// lock of ensureCameraList; afterwards it is read without a lock (camera
// selection page, camera attachment).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/win.h"

// Size of a camera name buffer: at most 255 bytes of text plus the terminator.
constexpr size_t cameraNameBufferSize = 256;

// One installed video input device. Copying shares the name buffer and adds a
// reference to the moniker.
struct CameraEntry {
    // The friendly name as multibyte text (current locale), in a 256-byte
    // buffer owned by the module's name pool: valid until the module is
    // unloaded, also after releaseCameraList.
    const char* name = nullptr;
    // What the camera filter is created from; one reference per entry.
    ComPtr<IMoniker> moniker;
    // The class the device's property bag names as its filter ("CLSID"), or
    // GUID_NULL when the bag names none. The virtual camera lists itself in
    // the same category; this is how its own entry is recognised.
    CLSID classId = GUID_NULL;
};

// The process-wide list of video input devices, in the order in which the
// device enumeration returned them.
class CameraList {
public:
    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    // Whether `index` (a signed position as stored in the settings) names an
    // entry. Every reader of a stored index checks it first.
    bool contains(int32_t index) const { return index >= 0 && static_cast<size_t>(index) < entries.size(); }
    // The entry at `index`; `index` must be below size().
    const CameraEntry& operator[](size_t index) const { return entries[index]; }
    // The entry at `index`, or null when the index names no entry.
    const CameraEntry* at(int32_t index) const {
        return contains(index) ? &entries[static_cast<size_t>(index)] : nullptr;
    }

    // Appends an entry whose name is a new pool buffer holding `wideName`
    // converted with wcstombs (at most 255 bytes, always terminated), with
    // the device's filter class `classId`. The list adds its own reference to
    // `moniker`. Returns false (and appends nothing) if memory runs out.
    bool append(const wchar_t* wideName, IMoniker* moniker, REFCLSID classId = GUID_NULL);
    // Whether the entry at `index` is a device of filter class `classId`
    // (false for an index that names no entry and for GUID_NULL).
    bool isOfClass(int32_t index, REFCLSID classId) const;
    // Releases every moniker and frees the array storage. The name buffers stay.
    void clear();

private:
    std::vector<CameraEntry> entries;
};

// The one list of the module.
extern CameraList cameraList;

// Fills `cameraList` from the system device enumerator's video input
// category: for each device in order, its property bag's "FriendlyName" and
// "CLSID" (a device without a readable CLSID is listed with GUID_NULL).
// Devices whose property bag or name cannot be read are left out. Returns the
// last result (nobody needs to examine it). Not guarded: use ensureCameraList.
HRESULT enumerateCameras();
// The same from a given device enumerator (the system's or a test's).
HRESULT enumerateCamerasFrom(ICreateDevEnum* devices);

// Builds the list once per module load (enumerateCameras on the first call);
// returns whether it was built by this call. Thread-safe: concurrent callers
// wait until the first has finished.
bool ensureCameraList();

// Sets leftCameraIndex and rightCameraIndex of runtimeSettings from the two
// stored names (exact, case-sensitive byte comparison; null counts as "NONE").
// The two results are never equal; they are not checked against the list
// length (fewer than two devices can leave a default beyond the end).
void matchCameraNames(const char* leftName, const char* rightName);

// Module unload: empties the list (releasing every moniker) and lets the next
// ensureCameraList build it again.
void releaseCameraList();
