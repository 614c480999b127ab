// The per-user settings of the virtual camera: loading them into
// `runtimeSettings` when a filter is constructed, and writing them back when a
// property page lets go of its object.
//
// Store: HKEY_CURRENT_USER\Software\VANTO Automation\stereoWebcam with the
// values camMode, camPosition, camSize (REG_DWORD) and lcamName, rcamName
// (REG_SZ, multibyte text without a terminating zero). Registry failures are
// silent: reads fall back to the defaults, writes are skipped.
//
// Threads: none of the three takes a lock of its own. loadSettings runs in the
// filter's constructor on the creating thread; the save operations run on the
// property page's thread.
#pragma once

// The settings key below HKEY_CURRENT_USER.
inline constexpr const char* settingsKeyPath = "Software\\VANTO Automation\\stereoWebcam";

// Default camera name, used for a missing or unusable stored name.
inline constexpr const char* noCameraName = "NONE";

// The load step: resets image mode (3) and swap flag (0), reads the five
// values with their fallbacks, sets sizeIndex and runs applySizeIndex, sets
// imageMode and swapCameras, builds the camera list once per module and
// resolves the two names to leftCameraIndex/rightCameraIndex. Never fails.
void loadSettings();

// Writes camMode = imageMode and camPosition = swapCameras (REG_DWORD).
// Nothing is written when the key cannot be opened.
void saveImageSettings();

// Runs applySizeIndex, then writes camSize = sizeIndex and, for each camera
// index that names a camera list entry, that entry's name as lcamName /
// rcamName (an index past the list leaves the stored name unchanged).
void saveCameraSettings();
