// A camera's driver calls on a thread of their own. A grab hands its calls
// (poll, VIDIOC_DQBUF, VIDIOC_QBUF, read) to the thread and waits for them a
// bounded while, so that a driver that never returns from one costs the
// window that while once, not the window itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace standin {

class DriverThread {
public:
    DriverThread() = default;
    ~DriverThread() { finish(); }
    DriverThread(const DriverThread&) = delete;
    DriverThread& operator=(const DriverThread&) = delete;

    // Runs call on the thread (started by the first run) and waits at most
    // timeout for it to return; false when it has not. The thread is then
    // hung: every later run is false at once, and call may still run to its
    // end at any time, so it must touch nothing the caller's stack holds.
    // Where no thread can be had, call runs here.
    bool run(std::function<void()> call, std::chrono::milliseconds timeout);

    // Ends the thread, waiting for the call under way however long it takes:
    // a camera whose driver hung is destroyed off the window's thread
    // (retired_cameras.h).
    void finish();

private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    // Under mutex_:
    std::function<void()> call_;  // asked for and not yet taken
    bool busy_ = false;           // a call is asked for or under way
    bool stopping_ = false;

    bool hung_ = false;  // the caller's alone: run's last wait ran out
    std::thread thread_;
};

}  // namespace standin
