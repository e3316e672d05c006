// The clock the recorded files of one rig play on, so that a left and a right
// recording stay in step: both start at the first grab of either, and the
// pair loops as one. A file that reaches its end holds its last frame until
// every file of the pair has reached its own; the next lap then begins for
// all of them at once, where the longest file's lap ended.
//
// Both pictures of one tick show one instant, as two cameras would: the
// first file of the pair (the left one) reads the time at its grab, and the
// other file's next grab uses that same time. Without a fresh reading from
// the left (it is lost), the other reads the time itself.
//
// Used from the thread that grabs (the capture windows' thread) only.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace standin {

class PlaybackClock {
public:
    using Clock = std::chrono::steady_clock;

    // A file joins the pair when it opens and leaves when it closes; the id
    // names it in ended().
    int join();
    void leave(int id);

    // Where playback stands for file id at its grab: the lap, and the
    // seconds into it. Starts the clock on the first call.
    struct Position {
        uint64_t lap;
        double seconds;
    };
    Position now(int id) { return at(id, Clock::now()); }
    Position at(int id, Clock::time_point time);

    uint64_t lap() const { return lap_; }

    // The file reached the end of lap `lap` after `length` seconds of it (its
    // frame count over its frame rate). A file that cannot go on at all ends
    // its lap too, so the other is not held up for ever.
    void ended(int id, uint64_t lap, double length);

    // A file that fell far behind (the program was stopped) carries on from
    // where it is instead of racing through the frames it missed: the lap's
    // start moves so that the current time is `seconds` into it.
    void resumeAt(double seconds) { resumeAt(Clock::now(), seconds); }
    void resumeAt(Clock::time_point time, double seconds);

private:
    struct Member {
        bool present;
        bool ended;   // reached its end in the current lap
        double length;
        uint64_t readingsSeen;  // the leader's readings up to the last grab
    };
    std::vector<Member> members_;
    bool started_ = false;
    Clock::time_point lapStart_{};
    uint64_t lap_ = 0;
    Clock::time_point reading_{};  // the leader's last reading of the time
    uint64_t readings_ = 0;        // how many it made

    void beginNextLapIfAllEnded();
};

}  // namespace standin
