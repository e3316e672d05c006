#include "platform/avicap32/playback_clock.h"

#include <algorithm>

namespace standin {

namespace {

// Seconds as the clock's own duration. What a file says of its length is
// taken within 0 and about 116 days (NaN as 0), so that no conversion
// overflows.
PlaybackClock::Clock::duration clockSeconds(double seconds) {
    const double kept = seconds >= 0.0 ? std::min(seconds, 1e7) : 0.0;
    return std::chrono::duration_cast<PlaybackClock::Clock::duration>(std::chrono::duration<double>(kept));
}

}  // namespace

int PlaybackClock::join() {
    members_.push_back(Member{true, false, 0.0, readings_});
    return int(members_.size()) - 1;
}

void PlaybackClock::leave(int id) {
    if (id < 0 || size_t(id) >= members_.size()) return;
    members_[size_t(id)].present = false;
    beginNextLapIfAllEnded();
}

PlaybackClock::Position PlaybackClock::at(int id, Clock::time_point time) {
    int leader = -1;
    for (size_t i = 0; i < members_.size() && leader < 0; ++i)
        if (members_[i].present) leader = int(i);
    if (id >= 0 && size_t(id) < members_.size()) {
        Member& member = members_[size_t(id)];
        if (id == leader) {
            reading_ = time;
            member.readingsSeen = ++readings_;
        } else if (member.readingsSeen < readings_) {
            time = reading_;
            member.readingsSeen = readings_;
        }
    }
    if (!started_) {
        started_ = true;
        lapStart_ = time;
    }
    return Position{lap_, std::chrono::duration<double>(time - lapStart_).count()};
}

void PlaybackClock::ended(int id, uint64_t lap, double length) {
    if (id < 0 || size_t(id) >= members_.size() || lap != lap_) return;
    Member& member = members_[size_t(id)];
    member.ended = true;
    member.length = length;
    beginNextLapIfAllEnded();
}

void PlaybackClock::resumeAt(Clock::time_point time, double seconds) {
    lapStart_ = time - clockSeconds(seconds);
    started_ = true;
}

void PlaybackClock::beginNextLapIfAllEnded() {
    double longest = 0.0;
    bool anyEnded = false;
    for (const Member& member : members_) {
        if (!member.present) continue;
        if (!member.ended) return;
        anyEnded = true;
        longest = std::max(longest, member.length);
    }
    if (!anyEnded) return;
    lapStart_ += clockSeconds(longest);
    ++lap_;
    for (Member& member : members_) member.ended = false;
}

}  // namespace standin
