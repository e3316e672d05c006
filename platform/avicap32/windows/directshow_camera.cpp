// DirectShow cameras: the system's video input devices, in the order the
// device enumerator lists them, each read through a graph of its own:
// capture filter -> Sample Grabber (RGB24) -> Null Renderer.
//
// Each camera has one worker thread, in the multithreaded apartment, that
// owns every COM object of its graph: it builds the graph, watches it
// (EC_DEVICE_LOST, or about 2 s without a frame, means the camera is gone)
// and takes it down. A lost camera is opened again, as a new camera on the
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
constexpr ULONGLONG kFirstFrameMs = 3000;  // at opening

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
        if (stopEvent_ != nullptr && openedEvent_ != nullptr)
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
        const ULONGLONG until = GetTickCount64() + kFirstFrameMs;
        while (!sink_->fresh && GetTickCount64() < until)
            SleepConditionVariableSRW(&sink_->arrived, &sink_->lock, DWORD(until - GetTickCount64()) + 1, 0);
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

    // The same device (by name and VFWIndex or position) at the same size.
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
        while (WaitForSingleObject(stopEvent_, 100) == WAIT_TIMEOUT) {
            const ULONGLONG lastFrame = lastFrameAt(), now = GetTickCount64();  // in this order: the callback moves lastFrame on
            if (deviceLost(graph) || (now > lastFrame && now - lastFrame > kLostAfterMs)) {
                setLost();
                break;
            }
        }
        graph.stop();
        if (SUCCEEDED(com)) CoUninitialize();
    }

    ULONGLONG lastFrameAt() {
        AcquireSRWLockShared(&sink_->lock);
        const ULONGLONG at = sink_->lastFrameAt;
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

    // The device by its name and VFWIndex (or position) among those
    // enumeration finds now; a reference the caller releases, or null.
    IMoniker* findDevice() {
        std::vector<IMoniker*> monikers;
        const std::vector<DeviceId> devices = enumerateDevices(&monikers);
        IMoniker* found = nullptr;
        for (size_t i = 0; i < devices.size(); ++i) {
            if (found == nullptr && devices[i].name == id_.name &&
                (id_.vfwIndex >= 0 ? devices[i].vfwIndex == id_.vfwIndex : i == id_.position)) {
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

// An index or a part of a camera's name.
std::unique_ptr<CameraDevice> openHostCamera(const std::string& name, std::string& error) {
    if (!startCom(error)) return nullptr;
    const std::wstring part = lowerWide(name);
    const std::vector<DeviceId> devices = enumerateDevices(nullptr);
    const DeviceId* chosen = nullptr;
    for (const DeviceId& device : devices) {
        std::wstring friendly = device.name;
        for (wchar_t& c : friendly) c = wchar_t(std::towlower(c));
        const bool fits = isIndex(name) ? std::to_string(device.position) == name
                                        : friendly.find(part) != std::wstring::npos &&
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
