#include "platform/avicap32/retired_cameras.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace standin {

namespace {

// Lives as long as the process: a thread still taking a camera down when the
// process ends may touch it to the last.
struct Retirements {
    std::mutex mutex;
    std::condition_variable done;
    int going = 0;  // cameras still being taken down
};
Retirements& retirements() {
    static Retirements* shared = new Retirements;
    return *shared;
}

void endWithoutTheRest() {
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    // Not ExitProcess: the libraries would then be told of the exit while
    // the threads still taking cameras down were cut off inside them.
    TerminateProcess(GetCurrentProcess(), 0);
#endif
    std::_Exit(0);
}

void awaitAtExit() {
    if (!awaitRetiredCameras(kExitWait)) {
        std::fprintf(stderr,
                     "A camera was still closing a second after the window; the program ends without waiting for it.\n");
        endWithoutTheRest();
    }
}

}  // namespace

void retireCamera(std::unique_ptr<CameraDevice> camera) {
    if (camera == nullptr) return;
    Retirements& r = retirements();
    auto finished = std::make_shared<bool>(false);  // guarded by r.mutex
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        ++r.going;
    }
    try {
        std::thread([leaving = std::move(camera), finished]() mutable {
            leaving.reset();
            Retirements& r = retirements();
            std::lock_guard<std::mutex> guard(r.mutex);
            --r.going;
            *finished = true;
            r.done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the camera went down here, with the function
        // that would have taken it.
        std::lock_guard<std::mutex> guard(r.mutex);
        --r.going;
        return;
    }
    // Most cameras are down in a moment: wait that long, so that one can be
    // opened again at once, as before.
    std::unique_lock<std::mutex> lock(r.mutex);
    r.done.wait_for(lock, kRetireWait, [&finished] { return *finished; });
}

bool awaitRetiredCameras(std::chrono::milliseconds timeout) {
    Retirements& r = retirements();
    std::unique_lock<std::mutex> lock(r.mutex);
    return r.done.wait_for(lock, timeout, [&r] { return r.going == 0; });
}

void awaitRetiredCamerasAtExit() {
    static const bool registered = std::atexit(awaitAtExit) == 0;
    (void)registered;
}

}  // namespace standin
