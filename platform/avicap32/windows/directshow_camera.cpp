// DirectShow cameras: the system's video input devices, in the order the
// device enumerator lists them, each read through a graph of its own:
// capture filter -> Sample Grabber (RGB24) -> Null Renderer.
//
// Each camera has one worker thread, in the multithreaded apartment, that
// owns every COM object of its graph: it builds the graph, watches it
// (EC_DEVICE_LOST, no first frame within 3 s of the start, or about 2 s
// without a frame after it, means the camera is gone), sets the user's
// exposure and white balance when asked to, and takes it down. A lost camera is opened again, as a new camera on the
// same device at the same size, the way every lost camera comes back
// (returning_camera.h). The grabber calls back on the graph's own thread
// with each frame; the newest one is kept under a lock. A grab, on the
// program's thread, touches nothing but that frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/windows/directshow_graph.h"

namespace standin {

namespace {

using namespace directshow;

constexpr ULONGLONG kLostAfterMs = 2000;   // without a frame
constexpr ULONGLONG kFirstFrameMs = 3000;  // from the start of streaming

std::string toUtf8(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring lowerWide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), &w[0], n);
    for (wchar_t& c : w) c = wchar_t(std::towlower(c));
    return w;
}

// COM on the program's thread, for enumeration; started once, never ended.
bool startCom(std::string& error) {
    static const HRESULT started = [] {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        return hr == RPC_E_CHANGED_MODE ? S_OK : hr;
    }();
    if (FAILED(started)) error = "COM could not be started (" + hex(started) + ")";
    return SUCCEEDED(started);
}

// Cameras open now, by DeviceId::key, so that a part of a name that fits two
// cameras gives each window its own. A lost camera is opened again on a
// thread of its own, hence the lock.
class OpenCameras {
public:
    void add(const std::wstring& key) {
        std::lock_guard<std::mutex> guard(mutex_);
        keys_.insert(key);
    }
    void remove(const std::wstring& key) {
        std::lock_guard<std::mutex> guard(mutex_);
        keys_.erase(key);
    }
    bool has(const std::wstring& key) {
        std::lock_guard<std::mutex> guard(mutex_);
        return keys_.count(key) != 0;
    }

private:
    std::mutex mutex_;
    std::set<std::wstring> keys_;
};
OpenCameras& openCameras() {
    static OpenCameras cameras;
    return cameras;
}

class DirectShowCamera : public CameraDevice {
public:
    // size: the frame size the camera must give, or none yet (width 0).
    DirectShowCamera(const DeviceId& id, const FrameSize& size) : id_(id), size_(size) { openCameras().add(id_.key()); }

    ~DirectShowCamera() override {
        if (thread_ != nullptr) {
            SetEvent(stopEvent_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
        if (openedEvent_ != nullptr) CloseHandle(openedEvent_);
        if (applyEvent_ != nullptr) CloseHandle(applyEvent_);
        if (appliedEvent_ != nullptr) CloseHandle(appliedEvent_);
        release(sink_);
        openCameras().remove(id_.key());
    }

    int width() const override { return size_.width; }
    int height() const override { return size_.height; }
    std::string description() const override {
        return std::to_string(size_.width) + "x" + std::to_string(size_.height) + " RGB24 (" + toUtf8(id_.name) + ")";
    }

    // Starts the worker and waits until the graph runs and the first frame
    // has come, or it failed.
    bool open(std::string& error) {
        stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        openedEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        applyEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        appliedEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (stopEvent_ != nullptr && openedEvent_ != nullptr && applyEvent_ != nullptr && appliedEvent_ != nullptr)
            thread_ = CreateThread(nullptr, 0, &DirectShowCamera::work, this, 0, nullptr);
        if (thread_ == nullptr) {
            error = "no thread for the camera";
            return false;
        }
        WaitForSingleObject(openedEvent_, INFINITE);
        if (!started_) {
            error = openError_;
            return false;
        }
        AcquireSRWLockExclusive(&sink_->lock);
        const ULONGLONG until = sink_->runAt + kFirstFrameMs;
        while (!sink_->fresh && !sink_->lost) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until) break;
            SleepConditionVariableSRW(&sink_->arrived, &sink_->lock, DWORD(until - now) + 1, 0);
        }
        const bool first = sink_->fresh;
        ReleaseSRWLockExclusive(&sink_->lock);
        if (!first) error = "gives no frames: another program may be using it";
        return first;
    }

    GrabResult grab(uint8_t* frame) override {
        FrameSink& s = *sink_;
        AcquireSRWLockExclusive(&s.lock);
        if (!s.fresh && !s.lost) SleepConditionVariableSRW(&s.arrived, &s.lock, size_.waitMs, 0);
        GrabResult result = s.lost ? GrabResult::Lost : GrabResult::NoNewFrame;
        if (s.fresh && !s.lost) {
            std::copy(s.frame.begin(), s.frame.end(), frame);
            s.fresh = false;
            result = GrabResult::NewFrame;
        }
        ReleaseSRWLockExclusive(&s.lock);
        return result;
    }

    // On the worker, which owns the graph's objects. The frame that came
    // before is not handed over.
    SettingsOutcome applySettings(const CameraSettings& settings) override {
        applyRequest_ = &settings;
        SetEvent(applyEvent_);
        const HANDLE done[] = {appliedEvent_, thread_};  // the worker ends when the camera is lost
        if (WaitForMultipleObjects(2, done, FALSE, INFINITE) != WAIT_OBJECT_0)
            return settingsWithoutControls(settings, "camera lost");
        return applied_;
    }

    // The same device (by DevicePath, or name and VFWIndex or position) at
    // the same size.
    Reopen reopener() const override {
        const DeviceId id = id_;
        const FrameSize size = size_;
        return [id, size](std::string& error) -> std::unique_ptr<CameraDevice> {
            auto camera = std::make_unique<DirectShowCamera>(id, size);
            if (camera->open(error)) return camera;
            if (error == kNotThere) error.clear();  // not back yet: nothing to say
            return nullptr;
        };
    }

private:
    static constexpr const char* kNotThere = "is not there";

    static DWORD WINAPI work(void* self) {
        static_cast<DirectShowCamera*>(self)->run();
        return 0;
    }

    void run() {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Graph graph;
        if (!build(graph, openError_)) {
            graph.stop();
            SetEvent(openedEvent_);
            if (SUCCEEDED(com)) CoUninitialize();
            return;
        }
        started_ = true;
        SetEvent(openedEvent_);
        // Watched until the camera is gone or the camera is closed; a lost
        // camera's graph is taken down at once.
        const HANDLE events[] = {stopEvent_, applyEvent_};
        for (;;) {
            const DWORD woken = WaitForMultipleObjects(2, events, FALSE, 100);
            if (woken == WAIT_OBJECT_0 + 1) {
                applied_ = applyCameraSettings(graph.source, *applyRequest_);
                AcquireSRWLockExclusive(&sink_->lock);
                sink_->fresh = false;
                ReleaseSRWLockExclusive(&sink_->lock);
                SetEvent(appliedEvent_);
            } else if (woken != WAIT_TIMEOUT) {
                break;
            }
            const ULONGLONG limit = frameDeadline(), now = GetTickCount64();  // in this order: the callback moves it on
            if (deviceLost(graph) || now > limit) {
                setLost();
                break;
            }
        }
        graph.stop();
        if (SUCCEEDED(com)) CoUninitialize();
    }

    // When the camera counts as lost unless a frame comes: its first within
    // kFirstFrameMs of the start, each later one within kLostAfterMs.
    ULONGLONG frameDeadline() {
        AcquireSRWLockShared(&sink_->lock);
        const ULONGLONG at = sink_->anyFrame ? sink_->lastFrameAt + kLostAfterMs : sink_->runAt + kFirstFrameMs;
        ReleaseSRWLockShared(&sink_->lock);
        return at;
    }

    void setLost() {
        AcquireSRWLockExclusive(&sink_->lock);
        sink_->lost = true;
        sink_->fresh = false;
        ReleaseSRWLockExclusive(&sink_->lock);
        WakeAllConditionVariable(&sink_->arrived);
    }

    // This device among those enumeration finds now; a reference the caller
    // releases, or null.
    IMoniker* findDevice() {
        std::vector<IMoniker*> monikers;
        const std::vector<DeviceId> devices = enumerateDevices(&monikers);
        IMoniker* found = nullptr;
        for (size_t i = 0; i < devices.size(); ++i) {
            if (found == nullptr && id_.sameDevice(devices[i])) {
                found = monikers[i];
            } else {
                monikers[i]->Release();
            }
        }
        return found;
    }

    bool build(Graph& graph, std::string& error) {
        IMoniker* device = findDevice();
        if (device == nullptr) {
            error = kNotThere;
            return false;
        }
        return buildGraph(device, size_, sink_, graph, error);
    }

    const DeviceId id_;
    FrameSize size_;             // fixed when the graph is built
    FrameSink* sink_ = nullptr;  // made with the graph
    HANDLE thread_ = nullptr, stopEvent_ = nullptr, openedEvent_ = nullptr;
    HANDLE applyEvent_ = nullptr, appliedEvent_ = nullptr;  // a settings request to the worker, and its answer
    const CameraSettings* applyRequest_ = nullptr;          // set before applyEvent_
    SettingsOutcome applied_;                               // set before appliedEvent_
    std::string openError_;  // set by the worker before openedEvent_, as is started_
    bool started_ = false;
};

bool isIndex(const std::string& name) {
    return !name.empty() && name.size() < 6 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// Every camera by its index: two cameras of one model share a name.
std::vector<std::string> listHostCameras() {
    std::string error;
    if (!startCom(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return {};
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < enumerateDevices(nullptr).size(); ++i) names.push_back(std::to_string(i));
    return names;
}

// An index, or a part of a camera's name or of its DevicePath (which names
// the USB port it is plugged into).
std::unique_ptr<CameraDevice> openHostCamera(const std::string& name, std::string& error) {
    if (!startCom(error)) return nullptr;
    const std::wstring part = lowerWide(name);
    const std::vector<DeviceId> devices = enumerateDevices(nullptr);
    const DeviceId* chosen = nullptr;
    for (const DeviceId& device : devices) {
        std::wstring friendly = device.name, path = device.devicePath;
        for (wchar_t& c : friendly) c = wchar_t(std::towlower(c));
        for (wchar_t& c : path) c = wchar_t(std::towlower(c));
        const bool fits = isIndex(name) ? std::to_string(device.position) == name
                                        : (friendly.find(part) != std::wstring::npos ||
                                           path.find(part) != std::wstring::npos) &&
                                              !openCameras().has(device.key());
        if (fits) {
            chosen = &device;
            break;
        }
    }
    if (chosen == nullptr) {
        error = "camera " + name + ": no such camera";
        return nullptr;
    }
    auto camera = std::make_unique<DirectShowCamera>(*chosen, FrameSize());
    if (!camera->open(error)) {
        error = "camera " + toUtf8(chosen->name) + ": " + error;
        return nullptr;
    }
    return camera;
}

}  // namespace standin
