// Command line parsing of duoview2-host.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "compositor/image_mode.h"
#include "framework/runtime_settings.h"

namespace {

std::string squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '-' || c == '_') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool parseLong(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

}  // namespace

int parseImageMode(const std::string& text) {
    long number = 0;
    if (parseLong(text, &number))
        return number >= 0 && number < imageModeCount ? static_cast<int>(number) : -1;
    const std::string wanted = squeezed(text);
    if (wanted.empty()) return -1;
    for (int mode = 0; mode < imageModeCount; ++mode)
        if (squeezed(imageModeName(mode)) == wanted) return mode;
    // Else a unique beginning of a name ("color anaglyph").
    int found = -1;
    for (int mode = 0; mode < imageModeCount; ++mode) {
        if (squeezed(imageModeName(mode)).compare(0, wanted.size(), wanted) != 0) continue;
        if (found >= 0) return -1;
        found = mode;
    }
    return found;
}

int parseSizeIndex(const std::string& text) {
    if (text == "0" || text == "320x240") return 0;
    if (text == "1" || text == "640x480") return 1;
    return -1;
}

bool parseHostOptions(const std::vector<std::string>& args, HostOptions* options, std::string* error) {
    HostOptions parsed;
    size_t i = 0;
    if (!args.empty() && args[0] == "settings") {
        parsed.command = HostCommand::settings;
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Every option but the flags takes the next argument.
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            parsed.command = HostCommand::help;
        } else if (arg == "--list") {
            if (parsed.command == HostCommand::settings) {
                *error = "--list is not a settings option";
                return false;
            }
            parsed.command = HostCommand::list;
        } else if (arg == "--unregister") {
            parsed.command = HostCommand::unregister;
        } else if (arg == "--dialog") {
            if (parsed.command != HostCommand::settings) {
                *error = "--dialog belongs to the settings command";
                return false;
            }
            parsed.dialog = true;
        } else if (arg == "--mode") {
            if (!value(&text)) return false;
            parsed.mode = parseImageMode(text);
            if (parsed.mode < 0) {
                *error = "unknown image mode '" + text + "' (0..11 or a mode name, see --help)";
                return false;
            }
        } else if (arg == "--swap") {
            if (!value(&text)) return false;
            if (text != "0" && text != "1") {
                *error = "--swap takes 0 or 1";
                return false;
            }
            parsed.swap = text == "1" ? 1 : 0;
        } else if (arg == "--size") {
            if (!value(&text)) return false;
            parsed.sizeIndex = parseSizeIndex(text);
            if (parsed.sizeIndex < 0) {
                *error = "--size takes 0, 1, 320x240 or 640x480";
                return false;
            }
        } else if (arg == "--left" || arg == "--right") {
            if (!value(&text)) return false;
            if (text.empty() || text.size() > 255) {
                *error = arg + " takes a camera name of 1 to 255 bytes";
                return false;
            }
            (arg == "--left" ? parsed.leftName : parsed.rightName) = text;
        } else if (arg == "--seconds") {
            if (!value(&text)) return false;
            char* end = nullptr;
            errno = 0;
            parsed.seconds = std::strtod(text.c_str(), &end);
            if (errno != 0 || *end != '\0' || !(parsed.seconds > 0) || parsed.seconds > 86400) {
                *error = "--seconds takes a number of seconds above 0";
                return false;
            }
            parsed.secondsGiven = true;
        } else if (arg == "--frames") {
            long n = 0;
            if (!value(&text)) return false;
            if (!parseLong(text, &n) || n < 1) {
                *error = "--frames takes a count of at least 1";
                return false;
            }
            parsed.maxFrames = n;
        } else if (arg == "--snapshot-every") {
            long n = 0;
            if (!value(&text)) return false;
            if (!parseLong(text, &n) || n < 0 || n > 1000000) {
                *error = "--snapshot-every takes a frame count (0: first and last frame only)";
                return false;
            }
            parsed.snapshotEvery = static_cast<int>(n);
        } else if (arg == "--out") {
            if (!value(&parsed.outDir)) return false;
            if (parsed.outDir.empty()) {
                *error = "--out takes a folder";
                return false;
            }
        } else if (arg == "--trace") {
            // The level is optional: a following argument 0..3 is taken as it.
            parsed.traceLevel = 2;
            if (i + 1 < args.size() && args[i + 1].size() == 1 && args[i + 1][0] >= '0' &&
                args[i + 1][0] <= '9') {
                parsed.traceLevel = args[++i][0] - '0';
                if (parsed.traceLevel > 3) {
                    *error = "--trace takes a level 0..3";
                    return false;
                }
            }
        } else if (arg == "--output") {
#ifdef __linux__
            if (!value(&parsed.output)) return false;
            if (parsed.output.empty()) {
                *error = "--output takes a device path (/dev/videoN) or a card label";
                return false;
            }
#else
            *error = "--output writes to a V4L2 video output device, which exists on Linux only";
            return false;
#endif
        } else if (arg == "--output-format") {
            if (!value(&parsed.outputFormat)) return false;
            if (parsed.outputFormat != "yuyv" && parsed.outputFormat != "rgb24") {
                *error = "--output-format takes yuyv or rgb24";
                return false;
            }
        } else if (arg == "--record") {
            parsed.record = true;
        } else if (arg == "--product") {
            if (!value(&parsed.productPath)) return false;
        } else if (arg == "--testcams") {
            if (!value(&parsed.testCamsPath)) return false;
        } else {
            *error = "unknown argument '" + arg + "' (see --help)";
            return false;
        }
    }
    if (parsed.output.empty() && (parsed.outputFormat != "yuyv" || parsed.record)) {
        *error = "--output-format and --record belong to --output";
        return false;
    }
    *options = parsed;
    return true;
}

bool runsUntilInterrupted(const HostOptions& options) {
    return options.command == HostCommand::run && !options.output.empty() && !options.secondsGiven &&
           options.maxFrames == 0;
}

const char* hostUsage() {
    return "usage: duoview2-host [options]            run the virtual camera and record it\n"
           "       duoview2-host --list               list the video input devices\n"
           "       duoview2-host settings [options]   show or change the settings through the property "
           "pages\n"
           "       duoview2-host --unregister         remove the registrations of the product and the test "
           "cameras\n"
           "\n"
           "Opens \"Vanto 3D Virtual Camera2\" through the system device enumerator as a video\n"
           "application does, connects it to a renderer of its own, runs the graph and writes\n"
           "the composed stream as <out>/duoview2.y4m plus PNG snapshots <out>/frame-NNNNNN.png\n"
           "and <out>/last.png. The product and the test cameras are registered first when they\n"
           "are not (on POSIX into <out>/registry unless DV_REGISTRY_DIR is set).\n"
           "\n"
           "options (stored in the product's settings, HKCU\\Software\\VANTO Automation\\stereoWebcam,\n"
           "so that later runs and other applications see them):\n"
           "  --mode N|NAME       image mode, a number or (the beginning of) its name:\n"
           "                      0 Left Image, 1 Right Image, 2 Side By Side, 3 Picture In Picture,\n"
           "                      4 Color Anaglyph 3D Image, 5 Gray Anaglyph 3D Image,\n"
           "                      6 True Anaglyph 3D Image, 7 SideBySide with Ratio, 8 Up And Down,\n"
           "                      9 UpAndDown with Ratio, 10 2D in 3D, 11 3D in 2D\n"
           "  --swap 0|1          swap the left and right cameras\n"
           "  --size 0|1|320x240|640x480\n"
           "  --left NAME         left camera (friendly name, see --list)\n"
           "  --right NAME        right camera (a run refuses the left camera here: exit status 2)\n"
           "run options:\n"
           "  --seconds S         run time (default 3; with --output: until SIGINT or SIGTERM)\n"
           "  --frames N          stop after N frames\n"
           "  --output DEST       also write the stream to a V4L2 output device (Linux: a v4l2loopback\n"
           "                      node), DEST its path /dev/videoN or its card label; other programs\n"
           "                      open that device as a webcam. The video and snapshots are then\n"
           "                      written only with --record\n"
           "  --output-format F   yuyv (default) or rgb24\n"
           "  --record            with --output, write the video and snapshots as well\n"
           "  --snapshot-every N  PNG of every N-th frame (default 30; 0: first and last only)\n"
           "  --out DIR           output folder (default duoview2-out)\n"
           "  --product PATH      the product module (default: next to this program or in the build tree)\n"
           "  --testcams PATH     the test camera module (likewise)\n"
           "  --trace [LEVEL]     the product's trace for this run: 1 errors, 2 state changes (default),\n"
           "                      3 verbose; to stderr (POSIX) or to OutputDebugString and\n"
           "                      %TEMP%\\Duoview2.log (Windows); works with every command\n"
           "settings options:\n"
           "  --dialog            open the property frames themselves (Windows)\n";
}
