// The host's consumer of composed pictures: counts frames and gaps, writes
// the Y4M video and the PNG snapshots.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "host_sink.h"
#include "picture_files.h"

class StreamRecorder final : public FrameConsumer {
public:
    // Snapshots: frame 1, 1 + n, 1 + 2n, ... (n = snapshotEvery; 0: frame 1
    // only) as <outDir>/frame-NNNNNN.png, and the last frame as last.png.
    // Without `writeFiles` it only counts (no video, no snapshots).
    StreamRecorder(std::string outDir, int snapshotEvery, bool writeFiles = true);

    // Opens <outDir>/duoview2.y4m for pictures of this size. Call before
    // the graph runs. False if the file cannot be created.
    bool start(int width, int height, int64_t frameInterval);
    // Writes last.png and closes the video. Call after the graph stopped.
    bool finish();

    // FrameConsumer (the sink's delivery thread).
    void onFrame(const SinkFrame& frame) override;
    void onEndOfStream() override;

    struct Progress {
        long frames = 0;
        long mediaTimeGaps = 0;  // pairs the virtual camera composed but did not deliver
        long frameTimeGaps = 0;  // frame intervals with no picture, by the left camera's time stamps
        double averageFps = 0;   // from the first to the last arrival
        double recentFps = 0;    // over the last second or so
        bool endOfStream = false;
        long writeFailures = 0;
    };
    Progress progress();

    std::string videoPath() const { return outDir + "/duoview2.y4m"; }
    std::string lastSnapshotPath() const { return outDir + "/last.png"; }
    std::vector<std::string> snapshots();

private:
    using Clock = std::chrono::steady_clock;

    const std::string outDir;
    const int snapshotEvery;
    const bool writeFiles;
    int64_t interval = 333333;

    std::mutex guard;  // everything below
    Y4mWriter video;
    std::vector<uint8_t> lastPicture;  // sized by start; the latest frame
    BgrPicture last{};
    Progress counts;
    bool haveMediaTime = false;
    LONGLONG lastMediaStart = 0;
    bool haveTime = false;
    REFERENCE_TIME lastStart = 0;
    Clock::time_point firstArrival{}, lastArrival{};
    Clock::time_point recent[32]{};  // arrival ring for the recent rate
    std::vector<std::string> written;
};
