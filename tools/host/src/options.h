// The command line of duoview2-host.
#pragma once

#include <string>
#include <vector>

enum class HostCommand {
    run,         // register if needed, run the virtual camera, write video and pictures
    list,        // list the video input devices
    settings,    // show (and with options change) the settings through the property pages
    unregister,  // remove the registrations of the product and the test cameras
    help,
};

struct HostOptions {
    HostCommand command = HostCommand::run;
    int mode = -1;              // image mode 0..11, -1: as stored
    int swap = -1;              // 0 or 1, -1: as stored
    int sizeIndex = -1;         // 0 (320x240) or 1 (640x480), -1: as stored
    std::string leftName;       // empty: as stored (or the test cameras when nothing usable is stored)
    std::string rightName;      // likewise
    double seconds = 3.0;       // run time
    bool secondsGiven = false;  // --seconds was given (with --output and no limit the run is unbounded)
    long maxFrames = 0;         // stop after this many frames (0: no limit)
    int snapshotEvery = 30;     // a PNG of frame 1, 1 + n, 1 + 2n, ... (0: only the first) and of the last
    std::string outDir = "duoview2-out";
    std::string productPath;   // empty: found next to the program or in the build tree
    std::string testCamsPath;  // likewise
    bool dialog = false;       // settings: open the real property frames (Windows)
    int traceLevel = -1;       // --trace: the product's trace level 0..3, -1: as the user set it
    std::string output;        // --output: a V4L2 output device, its path or card label (Linux); empty: none
    std::string outputFormat = "yuyv";  // --output-format: yuyv or rgb24
    bool record = false;                // --record: with --output, write the video and snapshots as well
};

// Parses argv[1..]. On failure returns false with a one-line reason in *error.
// --output is refused where there are no V4L2 devices (everywhere but Linux).
bool parseHostOptions(const std::vector<std::string>& args, HostOptions* options, std::string* error);

// The image mode named by `text`: a number 0..11 or a mode name as the image
// type page shows it, compared without case, spaces, '-' and '_'
// ("picture in picture", "PictureInPicture", "color-anaglyph"). -1 if none.
int parseImageMode(const std::string& text);

// 0 for "0" or "320x240", 1 for "1" or "640x480", else -1.
int parseSizeIndex(const std::string& text);

// Whether a run goes on until SIGINT or SIGTERM: with --output and neither
// --seconds nor --frames.
bool runsUntilInterrupted(const HostOptions& options);

// The usage text.
const char* hostUsage();
