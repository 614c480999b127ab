// Frame counting, gap detection and output files of the host.
#include "recorder.h"

#include <cstdio>
#include <cstring>

StreamRecorder::StreamRecorder(std::string outDir, int snapshotEvery, bool writeFiles)
    : outDir(std::move(outDir)), snapshotEvery(snapshotEvery), writeFiles(writeFiles) {}

bool StreamRecorder::start(int width, int height, int64_t frameInterval) {
    std::lock_guard<std::mutex> hold(guard);
    interval = frameInterval > 0 ? frameInterval : 333333;
    if (!writeFiles) return true;
    const std::ptrdiff_t stride =
        (static_cast<std::ptrdiff_t>(width) * 3 + 3) & ~static_cast<std::ptrdiff_t>(3);
    lastPicture.assign(static_cast<size_t>(stride) * height, 0);
    last = BgrPicture{lastPicture.data(), width, height, stride};
    return video.open(videoPath(), width, height, interval);
}

void StreamRecorder::onFrame(const SinkFrame& frame) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> hold(guard);
    const long number = ++counts.frames;
    if (number == 1) firstArrival = now;
    lastArrival = now;
    recent[number % 32] = now;

    if (frame.mediaTimeValid) {
        if (haveMediaTime && frame.mediaStart > lastMediaStart + 1)
            counts.mediaTimeGaps += static_cast<long>(frame.mediaStart - lastMediaStart - 1);
        haveMediaTime = true;
        lastMediaStart = frame.mediaStart;
    }
    if (frame.timeValid) {
        // A step of more than 1.5 intervals means frames the cameras made
        // but the stream does not carry.
        const REFERENCE_TIME step = frame.start - lastStart;
        if (haveTime && step > interval + interval / 2)
            counts.frameTimeGaps += static_cast<long>((step + interval / 2) / interval - 1);
        haveTime = true;
        lastStart = frame.start;
    }

    if (!writeFiles) return;
    const BgrPicture picture{frame.pixels, frame.width, frame.height, frame.stride};
    if (!video.writeFrame(picture)) ++counts.writeFailures;
    if (number == 1 || (snapshotEvery > 0 && (number - 1) % snapshotEvery == 0)) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%06ld.png", number);
        const std::string path = outDir + name;
        if (writePngFile(path, picture))
            written.push_back(path);
        else
            ++counts.writeFailures;
    }
    if (frame.width == last.width && frame.height == last.height) {
        for (int y = 0; y < frame.height; ++y)
            std::memcpy(lastPicture.data() + y * last.stride, frame.pixels + y * frame.stride,
                        static_cast<size_t>(frame.width) * 3);
    }
}

void StreamRecorder::onEndOfStream() {
    std::lock_guard<std::mutex> hold(guard);
    counts.endOfStream = true;
}

StreamRecorder::Progress StreamRecorder::progress() {
    std::lock_guard<std::mutex> hold(guard);
    Progress out = counts;
    if (counts.frames > 1) {
        const double span = std::chrono::duration<double>(lastArrival - firstArrival).count();
        if (span > 0) out.averageFps = (counts.frames - 1) / span;
        const long back = counts.frames > 31 ? 31 : counts.frames - 1;
        const double recentSpan =
            std::chrono::duration<double>(recent[counts.frames % 32] - recent[(counts.frames - back) % 32])
                .count();
        if (recentSpan > 0) out.recentFps = back / recentSpan;
    }
    return out;
}

std::vector<std::string> StreamRecorder::snapshots() {
    std::lock_guard<std::mutex> hold(guard);
    return written;
}

bool StreamRecorder::finish() {
    std::lock_guard<std::mutex> hold(guard);
    if (!writeFiles) return true;
    bool ok = video.close();
    if (counts.frames > 0) {
        if (writePngFile(lastSnapshotPath(), last))
            written.push_back(lastSnapshotPath());
        else
            ok = false;
    }
    return ok && counts.writeFailures == 0;
}
