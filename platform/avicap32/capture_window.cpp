// avicap32: capture windows, ours on every platform. Driver 0 is the stereo
// rig that KESTROVA_CAMERAS names (camera_backends.h). The first capture
// window to connect gets the rig's first camera, the next the second, and so
// on; cameras are not handed out twice.
//
// A grab hands the camera's newest frame to the frame callback before it
// returns. When no new frame has come within the camera's wait, the newest
// frame it gave is handed over again, so a slow or pausing camera never skews
// what the program averages.
#include "platform/avicap32/capture_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/avicap32/camera_backends.h"
#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/retired_cameras.h"
#include "platform/win32.h"

namespace {

using standin::CameraDevice;
using standin::CaptureFault;
using standin::GrabResult;

const wchar_t kCaptureClass[] = L"KestrovaCapture";

struct RigCamera {
    standin::RigCameraEntry entry;  // how KESTROVA_CAMERAS named it
    std::unique_ptr<CameraDevice> device;  // open while connected
    // Made at the first connection and kept while the camera is away, so
    // that the file goes on when it comes back.
    std::unique_ptr<standin::FrameRecorder> recorder;
    bool recorderMade = false;
    bool gone = false;  // vanished for good (an injected fault)
};

struct Rig {
    bool loaded = false;
    uint64_t generation = 1;  // advanced by every reset
    std::vector<RigCamera> cameras;
    size_t nextCamera = 0;
    standin::RigClocks clocks;
    std::map<int, CaptureFault> faults;
    bool sizesWarned = false;  // the left and right cameras' sizes differ, and it was said
};
Rig rig;

struct CaptureWindow {
    uint64_t generation = 0;  // of the rig the camera belongs to
    int camera = -1;          // place in the rig, given on the first connection
    bool connected = false;
    int width = 0;
    int height = 0;
    DWORD framesGrabbed = 0;
    std::chrono::steady_clock::time_point connectedAt{};
    CAPVIDEOCALLBACK callback = nullptr;
    bool haveFrame = false;  // frame holds a whole frame the camera gave
    bool failing = false;    // its camera failed a grab (no memory, no thread), and it was said
    std::vector<uint8_t> frame;
};
// Shared, so that a window's record outlives a callback that destroys it.
std::map<HWND, std::shared_ptr<CaptureWindow>> captureWindows;

// Said on standard error; on Windows also in a message box, since a program
// started by a double click has no console.
void tellUser(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), &wide[0], n);
    MessageBoxW(nullptr, wide.c_str(), L"Kestrova", MB_OK | MB_ICONWARNING);
#endif
}

// The cameras and their settings, read once; KESTROVA_RECORD (a path
// prefix) has what the cameras deliver recorded.
void loadRig() {
    if (rig.loaded) return;
    rig.loaded = true;
    std::vector<std::string> badValues;
    const standin::RigSettings settings = standin::readRigSettings(badValues);
    std::string told;
    for (const std::string& line : badValues) told += (told.empty() ? "" : "\n") + line;
    if (!told.empty()) tellUser(told);
    std::vector<standin::RigCameraEntry> entries =
        standin::parseCameraList(std::getenv("KESTROVA_CAMERAS"), std::getenv("KESTROVA_SIM_RIG"));
    const char* record = std::getenv("KESTROVA_RECORD");
    std::shared_ptr<standin::RecordingSession> recording;
    if (record != nullptr && std::string(record).find_first_not_of(" \t") != std::string::npos && !entries.empty())
        recording = std::make_shared<standin::RecordingSession>(record, entries.size());
    for (standin::RigCameraEntry& entry : entries) {
        RigCamera c;
        c.entry = std::move(entry);
        c.entry.settings = settings.of(rig.cameras.size());
        c.entry.recording = recording;
        rig.cameras.push_back(std::move(c));
    }
}

// Applies the camera's settings as it opens: one line says what it offers
// and what was set, and one more each setting that went wrong (those also
// in a message box on Windows).
void applySettings(const std::string& role, RigCamera& camera) {
    if (!camera.entry.settings.any()) return;
    const standin::SettingsOutcome outcome = camera.device->applySettings(camera.entry.settings);
    std::fprintf(stderr, "%s: %s\n", role.c_str(), outcome.summary.c_str());
    std::string told;
    for (const std::string& problem : outcome.problems) told += (told.empty() ? "" : "\n") + role + ": " + problem;
    if (!told.empty()) tellUser(told);
}

CaptureFault faultOf(int camera) {
    const auto it = rig.faults.find(camera);
    return it == rig.faults.end() ? CaptureFault::None : it->second;
}

// The window's camera, or null while it has none (never connected, or the
// rig was reset since).
RigCamera* cameraOf(const CaptureWindow& w) {
    if (w.camera < 0 || w.generation != rig.generation || size_t(w.camera) >= rig.cameras.size()) return nullptr;
    return &rig.cameras[size_t(w.camera)];
}

RigCamera* connectedCamera(const CaptureWindow& w) { return w.connected ? cameraOf(w) : nullptr; }

// Closes the camera's device: here, or on a thread of its own when its
// driver could hang in the closing (retired_cameras.h).
void closeDevice(RigCamera& camera) {
    if (camera.entry.backend != nullptr && camera.entry.backend->closedInPlace) {
        camera.device.reset();
    } else {
        standin::retireCamera(std::move(camera.device));
    }
}

void loseCamera(RigCamera& camera) {
    camera.gone = true;
    closeDevice(camera);
}

// The distance assumes two pictures of one size: say so once when the left
// and the right camera open at different sizes.
void warnOfMismatchedSizes() {
    if (rig.cameras.size() < 2) return;
    const CameraDevice* left = rig.cameras[0].device.get();
    const CameraDevice* right = rig.cameras[1].device.get();
    if (left == nullptr || right == nullptr || rig.sizesWarned) return;
    if (left->width() == right->width() && left->height() == right->height()) return;
    rig.sizesWarned = true;
    std::fprintf(stderr, "The cameras' sizes differ (left %dx%d, right %dx%d): the distance will be wrong.\n",
                 left->width(), left->height(), right->width(), right->height());
}

LRESULT connect(CaptureWindow& w, WPARAM driver) {
    if (driver != 0) return FALSE;
    loadRig();
    if (connectedCamera(w) != nullptr) return TRUE;
    if (cameraOf(w) == nullptr) {
        w.connected = false;
        if (rig.nextCamera >= rig.cameras.size()) return FALSE;  // no camera left
        w.camera = int(rig.nextCamera++);
        w.generation = rig.generation;
    }
    RigCamera& camera = *cameraOf(w);
    if (faultOf(w.camera) == CaptureFault::Disappear) loseCamera(camera);
    if (camera.gone || camera.entry.backend == nullptr) return FALSE;
    if (camera.device == nullptr) {
        std::string error;
        camera.device = standin::openRigCamera(camera.entry, rig.clocks, error);
        if (camera.device == nullptr) {
            if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
            return FALSE;
        }
        const std::string side = w.camera == 0   ? "left"
                                 : w.camera == 1 ? "right"
                                                 : "camera " + std::to_string(w.camera + 1);
        if (camera.entry.backend->announced) {
            // Which device became which side, so that swapped cameras are seen at once.
            const std::string role = w.camera < 2 ? side + " camera" : side;
            const std::string description = camera.device->description();
            std::fprintf(stderr, "%s: %s%s%s\n", role.c_str(), camera.entry.name.c_str(), description.empty() ? "" : ", ",
                         description.c_str());
        }
        applySettings(side, camera);
        warnOfMismatchedSizes();
    }
    w.width = camera.device->width();
    w.height = camera.device->height();
    if (camera.entry.recording != nullptr && !camera.recorderMade) {
        camera.recorderMade = true;
        camera.recorder = standin::FrameRecorder::create(camera.entry.recording, size_t(w.camera), w.width, w.height);
    }
    w.haveFrame = false;
    w.connectedAt = std::chrono::steady_clock::now();
    w.connected = true;
    return TRUE;
}

LRESULT disconnect(CaptureWindow& w) {
    RigCamera* camera = connectedCamera(w);
    w.connected = false;
    if (camera == nullptr) return FALSE;
    closeDevice(*camera);
    return TRUE;
}

// Writes at most size bytes of the record; only the frame size and the frame
// count mean anything here.
LRESULT getStatus(const CaptureWindow& w, WPARAM size, LPARAM record) {
    if (connectedCamera(w) == nullptr || record == 0 || size < 2 * sizeof(UINT)) return FALSE;
    CAPSTATUS status{};
    status.uiImageWidth = UINT(w.width);
    status.uiImageHeight = UINT(w.height);
    status.dwCurrentVideoFrame = w.framesGrabbed;
    std::memcpy(reinterpret_cast<void*>(record), &status, std::min<size_t>(size, sizeof status));
    return TRUE;
}

// Fetches one frame and hands it to the frame callback before returning.
LRESULT grabFrame(HWND hwnd, CaptureWindow& w) {
    RigCamera* camera = connectedCamera(w);
    if (camera == nullptr) return FALSE;
    const CaptureFault fault = faultOf(w.camera);
    if (fault == CaptureFault::Disappear) loseCamera(*camera);
    if (camera->gone || camera->device == nullptr) return FALSE;

    const size_t imageBytes = size_t(w.width) * 3 * size_t(w.height);
    if (fault == CaptureFault::NoMemory) throw std::bad_alloc();  // as the resize would
    w.frame.resize(imageBytes);
    const GrabResult result = camera->device->grab(w.frame.data());
    if (w.failing) {
        w.failing = false;
        std::fprintf(stderr, "%s: camera back\n", camera->entry.name.c_str());
    }
    if (result == GrabResult::Lost) {
        w.haveFrame = false;  // never show a vanished camera's last picture as new
        return FALSE;
    }
    if (result == GrabResult::NewFrame) w.haveFrame = true;
    if (!w.haveFrame || fault == CaptureFault::StopDelivering) return FALSE;

    size_t bytesUsed = std::min(imageBytes, camera->device->frameBytes());
    if (fault == CaptureFault::ShortFrame) bytesUsed = imageBytes / 2;
    if (fault == CaptureFault::OversizedFrame) {
        w.frame.resize(imageBytes * 2, 0x55);
        bytesUsed = w.frame.size();
    }
    ++w.framesGrabbed;
    // Recorded as delivered, before the callback (which may end the window).
    if (camera->recorder != nullptr) camera->recorder->offer(w.frame.data(), std::chrono::steady_clock::now());

    VIDEOHDR header{};
    header.lpData = w.frame.data();
    header.dwBufferLength = DWORD(w.frame.size());
    header.dwBytesUsed = DWORD(bytesUsed);
    header.dwTimeCaptured = DWORD(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - w.connectedAt)
            .count());
    if (w.callback != nullptr) w.callback(hwnd, &header);
    return TRUE;
}

// A camera that cannot be had for now (no memory for its frames, no thread
// for its driver): its grabs deliver nothing, and it is said once, not
// every tick; a connection fails. Never an exception out of a window
// procedure, which would end the program.
LRESULT cameraFailed(CaptureWindow& w, UINT msg, const std::exception& e) {
    const RigCamera* camera = cameraOf(w);
    const std::string name = camera != nullptr ? camera->entry.name : "camera";
    const char* why = dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "no memory for its frames" : e.what();
    if (msg == WM_CAP_GRAB_FRAME_NOSTOP) {
        w.haveFrame = false;
        if (!w.failing) std::fprintf(stderr, "%s: camera lost: %s\n", name.c_str(), why);
        w.failing = true;
    } else {
        std::fprintf(stderr, "%s: cannot connect: %s\n", name.c_str(), why);
    }
    return FALSE;
}

LRESULT handleCaptureMessage(HWND hwnd, CaptureWindow* w, UINT msg, WPARAM wParam, LPARAM lParam);

LRESULT CALLBACK captureWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto found = captureWindows.find(hwnd);
    if (found == captureWindows.end()) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const std::shared_ptr<CaptureWindow> w = found->second;  // kept while the message is handled
    try {
        return handleCaptureMessage(hwnd, w.get(), msg, wParam, lParam);
    } catch (const std::exception& e) {
        return cameraFailed(*w, msg, e);
    }
}

LRESULT handleCaptureMessage(HWND hwnd, CaptureWindow* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CAP_DRIVER_CONNECT:
            return connect(*w, wParam);
        case WM_CAP_DRIVER_DISCONNECT:
            return disconnect(*w);
        case WM_CAP_GET_STATUS:
            return getStatus(*w, wParam, lParam);
        case WM_CAP_SET_CALLBACK_FRAME:
            w->callback = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
            return TRUE;
        case WM_CAP_GRAB_FRAME_NOSTOP:
            return grabFrame(hwnd, *w);
        case WM_DESTROY:
            captureWindows.erase(hwnd);  // first, so that no failure below leaves it behind
            disconnect(*w);
            // The window's end is the recording's: the file is finished.
            if (RigCamera* camera = cameraOf(*w)) camera->recorder.reset();
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

namespace standin {

void injectCaptureFault(int camera, CaptureFault fault) {
    if (camera < 0) return;
    if (fault == CaptureFault::None) {
        rig.faults.erase(camera);
    } else {
        rig.faults[camera] = fault;
    }
}

void resetCaptureDevices() {
    rig.cameras.clear();
    rig.loaded = false;
    rig.nextCamera = 0;
    rig.clocks = RigClocks();
    rig.sizesWarned = false;
    rig.faults.clear();
    ++rig.generation;
}

}  // namespace standin

// A window of its own class, a child of parent (which must be alive) when
// the style says so, as on Windows.
HWND WINAPI capCreateCaptureWindowW(LPCWSTR windowName, DWORD style, int x, int y, int width, int height,
                                    HWND parent, int id) {
#ifdef _WIN32
    // The class belongs to the module these windows live in.
    HINSTANCE instance = GetModuleHandleW(nullptr);
#else
    HINSTANCE instance = nullptr;
#endif
    WNDCLASSEXW wndclass;
    std::memset(&wndclass, 0, sizeof wndclass);
    wndclass.cbSize = sizeof wndclass;
    wndclass.lpfnWndProc = captureWindowProc;
    wndclass.hInstance = instance;
    wndclass.lpszClassName = kCaptureClass;
    RegisterClassExW(&wndclass);  // fails harmlessly once the class exists
    HWND hwnd = CreateWindowExW(0, kCaptureClass, windowName != nullptr ? windowName : L"", style, x, y, width, height,
                                parent, reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), instance, nullptr);
    if (hwnd != nullptr) captureWindows[hwnd] = std::make_shared<CaptureWindow>();
    standin::awaitRetiredCamerasAtExit();
    return hwnd;
}
