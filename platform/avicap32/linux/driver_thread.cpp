#include "platform/avicap32/linux/driver_thread.h"

#include <system_error>
#include <utility>

namespace standin {

bool DriverThread::run(std::function<void()> call, std::chrono::milliseconds timeout) {
    if (hung_) return false;
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&DriverThread::serve, this);
        } catch (const std::system_error&) {
            call();
            return true;
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    call_ = std::move(call);
    busy_ = true;
    changed_.notify_all();
    hung_ = !changed_.wait_for(lock, timeout, [this] { return !busy_; });
    return !hung_;
}

void DriverThread::finish() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DriverThread::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stopping_; });
        if (!busy_) return;
        std::function<void()> call = std::move(call_);
        lock.unlock();
        call();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace standin
