// avicap32: capture windows. Driver 0 is the stereo rig that KESTROVA_CAMERAS
// names: a comma-separated list of V4L2 device paths, "sim" for the simulated
// rig with a moving target, "sim:<metres>" for the simulated rig with the
// target held still at that distance, or "file:<left>,<right>" for two video
// files played in a loop; unset or empty, every V4L2 capture device present. The first capture window to connect gets the rig's first
// camera, the next the second, and so on; cameras are not handed out twice.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/stand_in.h"
#include "platform/avicap32/stereo_rig.h"
#include "platform/avicap32/linux/recorded_file.h"
#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/linux/window_internal.h"

namespace {

using standin::CaptureFault;

constexpr int kSimulatedWidth = 320;
constexpr int kSimulatedHeight = 240;
constexpr uint64_t kSimulatedStepMs = 40;

struct RigCamera {
    enum class Kind { Simulated, Device, File, Invalid };
    Kind kind = Kind::Invalid;
    std::string name;       // as given, for messages; the device path
    int simulatedCamera = 0;  // 0 left, 1 right
    double distance = 0.0;  // simulated: > 0 holds the ball still at that distance
    std::unique_ptr<standin::CameraDevice> device;  // open while connected
    bool gone = false;
};

struct Rig {
    bool loaded = false;
    uint64_t generation = 1;  // advanced by every reset
    std::vector<RigCamera> cameras;
    size_t nextCamera = 0;
    uint64_t simulatedGrabs = 0;  // grabs of a simulated left camera: the scene's clock
    std::map<int, CaptureFault> faults;
};
Rig rig;

struct CaptureWindow {
    uint64_t generation = 0;  // of the rig the camera belongs to
    int camera = -1;          // place in the rig, given on the first connection
    bool connected = false;
    int width = 0;
    int height = 0;
    DWORD framesGrabbed = 0;
    bool haveFrame = false;  // frame holds a camera frame that can go out again
    CAPVIDEOCALLBACK callback = nullptr;
    // Shared so that a frame stays valid while the callback runs, even if the
    // callback destroys the window.
    std::shared_ptr<std::vector<uint8_t>> frame = std::make_shared<std::vector<uint8_t>>();
};

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void addSimulatedRig(double distance) {
    for (int camera = 0; camera < 2; ++camera) {
        RigCamera c;
        c.kind = RigCamera::Kind::Simulated;
        c.name = "sim";
        c.simulatedCamera = camera;
        c.distance = distance;
        rig.cameras.push_back(std::move(c));
    }
}

void loadRig() {
    if (rig.loaded) return;
    rig.loaded = true;
    const char* env = std::getenv("KESTROVA_CAMERAS");
    std::vector<std::string> entries;
    if (env == nullptr || trim(env).empty()) {
        entries = standin::listV4l2CaptureDevices();
    } else {
        const std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t comma = std::min(list.find(',', start), list.size());
            const std::string entry = trim(list.substr(start, comma - start));
            if (!entry.empty()) entries.push_back(entry);
            start = comma + 1;
        }
    }

    bool nextIsFile = false;  // the right file of file:<left>,<right>
    for (const std::string& entry : entries) {
        if (nextIsFile || entry.compare(0, 5, "file:") == 0) {
            RigCamera c;
            c.kind = RigCamera::Kind::File;
            c.name = nextIsFile ? entry : trim(entry.substr(5));
            nextIsFile = !nextIsFile;
            rig.cameras.push_back(std::move(c));
        } else if (entry == "sim") {
            addSimulatedRig(0.0);
        } else if (entry.compare(0, 4, "sim:") == 0) {
            const char* text = entry.c_str() + 4;
            char* end = nullptr;
            const double metres = std::strtod(text, &end);
            if (end != text && *end == '\0' && std::isfinite(metres) && metres > 0.0) {
                addSimulatedRig(metres);
            } else {
                std::fprintf(stderr, "KESTROVA_CAMERAS: \"%s\" is not sim:<metres> with a distance above 0\n",
                             entry.c_str());
                RigCamera c;
                c.name = entry;
                rig.cameras.push_back(std::move(c));
            }
        } else {
            RigCamera c;
            c.kind = RigCamera::Kind::Device;
            c.name = entry;
            rig.cameras.push_back(std::move(c));
        }
    }
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

void loseCamera(RigCamera& camera) {
    camera.gone = true;
    camera.device.reset();
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
    if (camera.gone) return FALSE;

    switch (camera.kind) {
        case RigCamera::Kind::Simulated:
            w.width = kSimulatedWidth;
            w.height = kSimulatedHeight;
            break;
        case RigCamera::Kind::Device:
        case RigCamera::Kind::File:
            if (camera.device == nullptr) {
                std::string error, description;
                if (camera.kind == RigCamera::Kind::Device) {
                    auto device = standin::V4l2Camera::open(camera.name, error);
                    if (device != nullptr) description = device->description();
                    camera.device = std::move(device);
                } else {
                    auto file = standin::RecordedFile::open(camera.name, error);
                    if (file != nullptr) description = file->description();
                    camera.device = std::move(file);
                }
                if (camera.device == nullptr) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                    return FALSE;
                }
                const std::string role = w.camera == 0   ? "left camera"
                                         : w.camera == 1 ? "right camera"
                                                         : "camera " + std::to_string(w.camera + 1);
                std::fprintf(stderr, "%s: %s, %s\n", role.c_str(), camera.name.c_str(), description.c_str());
            }
            w.width = camera.device->width();
            w.height = camera.device->height();
            break;
        case RigCamera::Kind::Invalid:
            return FALSE;
    }
    w.connected = true;
    return TRUE;
}

LRESULT disconnect(CaptureWindow& w) {
    RigCamera* camera = connectedCamera(w);
    w.connected = false;
    if (camera == nullptr) return FALSE;
    camera->device.reset();
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
    if (camera->gone) return FALSE;

    const size_t imageBytes = size_t(w.width) * 3 * size_t(w.height);
    std::shared_ptr<std::vector<uint8_t>> frame = w.frame;
    frame->resize(imageBytes);
    uint64_t timeMs = 0;
    if (camera->kind == RigCamera::Kind::Simulated) {
        if (camera->simulatedCamera == 0) ++rig.simulatedGrabs;
        if (rig.simulatedGrabs > 0) timeMs = (rig.simulatedGrabs - 1) * kSimulatedStepMs;
        if (fault == CaptureFault::StopDelivering) return FALSE;
        standin::renderStereoRigFrame(camera->simulatedCamera, double(timeMs) / 1000.0, camera->distance, w.width,
                                      w.height, frame->data());
    } else {
        if (fault == CaptureFault::StopDelivering || camera->device == nullptr) return FALSE;
        // With no new frame by the time the grab may wait no longer, the
        // newest frame the camera gave goes out again, so that a slow or
        // pausing camera does not pull the averages toward the origin. A
        // camera that is gone delivers nothing until it is back.
        switch (camera->device->grab(frame->data())) {
            case standin::GrabResult::NewFrame:
                w.haveFrame = true;
                break;
            case standin::GrabResult::NoNewFrame:
                if (!w.haveFrame) return FALSE;
                break;
            case standin::GrabResult::Lost:
                return FALSE;
        }
    }

    size_t bytesUsed = imageBytes;
    if (fault == CaptureFault::ShortFrame) bytesUsed = imageBytes / 2;
    if (fault == CaptureFault::OversizedFrame) {
        frame->resize(imageBytes * 2, 0x55);
        bytesUsed = frame->size();
    }
    ++w.framesGrabbed;

    VIDEOHDR header{};
    header.lpData = frame->data();
    header.dwBufferLength = DWORD(frame->size());
    header.dwBytesUsed = DWORD(bytesUsed);
    header.dwTimeCaptured = DWORD(timeMs);
    if (w.callback != nullptr) w.callback(hwnd, &header);
    return TRUE;
}

LRESULT CALLBACK captureWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CaptureWindow* w = static_cast<CaptureWindow*>(hwnd->extra);
    if (w == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
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
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

void releaseCaptureWindow(HWND hwnd) {
    CaptureWindow* w = static_cast<CaptureWindow*>(hwnd->extra);
    if (w == nullptr) return;
    disconnect(*w);
    delete w;
    hwnd->extra = nullptr;
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
    rig.simulatedGrabs = 0;
    rig.faults.clear();
    ++rig.generation;
}

}  // namespace standin

// A child window needs a live parent, as on Windows.
HWND WINAPI capCreateCaptureWindowW(LPCWSTR windowName, DWORD style, int x, int y, int width, int height,
                                    HWND parent, int id) {
    if (parent != nullptr ? !IsWindow(parent) : (style & WS_CHILD) != 0) {
        SetLastError(parent != nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND hwnd = standin::createWindowObject(0, L"Capture", windowName != nullptr ? windowName : L"", style, x, y,
                                            width, height, parent, UINT_PTR(id), captureWindowProc);
    hwnd->extra = new CaptureWindow;
    hwnd->release = releaseCaptureWindow;
    return hwnd;
}
