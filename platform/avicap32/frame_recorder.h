// Recording what the cameras deliver (KESTROVA_RECORD=<path prefix>): every
// frame a capture window hands to its frame callback is also written, MJPEG
// in AVI, to <prefix>-left.avi and <prefix>-right.avi.
//
// Frames are timed by the ticks at 25 a second: a frame's number is its
// grab's time since the first grab, in 40 ms steps, so that a tick that
// came late or a frame that was dropped leaves a gap, and the file fills it
// with the frame before: played back, the footage keeps the pace it was
// taken at.
//
// The tick never waits for the encoder: the capture windows' thread only
// copies the frame into a short queue (or, when the queue is full, drops the
// frame and counts it); a thread of each recorder's own encodes and writes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace standin {

// What the recorders of one rig share: the files' names, the clock that
// numbers the frames, and whether recording has stopped.
class RecordingSession {
public:
    using Clock = std::chrono::steady_clock;

    // The files for a rig of `cameras` cameras, named after prefix and not
    // yet there (a number is added to the names until none of them is);
    // says on standard error where it records.
    RecordingSession(const std::string& prefix, size_t cameras);

    // The file camera records to ("" for none).
    std::string pathOf(size_t camera) const { return camera < paths_.size() ? paths_[camera] : std::string(); }

    // The number of the frame camera grabbed at time: the 40 ms step since
    // the first grab it falls in, a number above the camera's last. Both
    // cameras of one tick get the same number: the right camera's grab
    // takes the time of the left one's grab before it, unless an earlier
    // grab of the right took that already (the left camera is away). Used
    // from the capture windows' thread only.
    int64_t frameNumber(size_t camera, Clock::time_point time);

    // Stops all recording, saying why once (on Windows in a message box);
    // callable from any thread.
    void stop(const std::string& why);
    bool stopped() const { return stopped_.load(); }

private:
    std::vector<std::string> paths_;
    bool started_ = false;
    Clock::time_point start_{};
    Clock::time_point leftGrab_{};
    uint64_t leftGrabs_ = 0;  // how many grabs of the left camera there were
    uint64_t rightSeen_ = 0;  // how many of them the right camera's grabs took the time of
    std::vector<int64_t> lastNumbers_;  // each camera's last frame number
    std::atomic<bool> stopped_{false};
};

class FrameRecorder {
public:
    // Creates the camera's file (never over one that is there) for frames
    // of width x height; null when it cannot, which stops the session.
    static std::unique_ptr<FrameRecorder> create(std::shared_ptr<RecordingSession> session, size_t camera,
                                                 int width, int height);
    // Writes what is queued, closes the file and says how many frames it
    // holds and how many were dropped.
    ~FrameRecorder();
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;

    // Queues a copy of frame (width * 3 * height bytes, bottom row first),
    // grabbed at time; never waits for the encoder. Capture windows' thread.
    void offer(const uint8_t* frame, RecordingSession::Clock::time_point time);

    uint64_t dropped() const { return dropped_.load(); }

    // The queue holds up to a third of a second of frames, and at most
    // about 64 MiB of them (but always two).
    static constexpr size_t kQueueFrames = 8;
    static constexpr size_t kQueueBytes = size_t(64) << 20;

private:
    struct Queued {
        int64_t number;
        std::vector<uint8_t> pixels;
    };

    FrameRecorder(std::shared_ptr<RecordingSession> session, size_t camera, int width, int height);
    void run(std::FILE* file);

    std::shared_ptr<RecordingSession> session_;
    size_t camera_;
    std::string path_;
    int width_, height_;
    size_t queueFrames_;

    std::mutex mutex_;  // guards queue_, spare_ and closing_
    std::condition_variable wake_;
    std::deque<Queued> queue_;
    std::vector<std::vector<uint8_t>> spare_;  // buffers to reuse
    bool closing_ = false;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> written_{0};
    std::thread encoder_;
};

}  // namespace standin
