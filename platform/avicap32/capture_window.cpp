// avicap32: capture windows, ours on every platform. Driver 0 is the stereo
// rig that KESTROVA_CAMERAS names, a comma-separated list of
//   sim[:<metres>][@<width>x<height>]  the simulated rig (two cameras): a
//                                      moving ball, or one held still at that
//                                      distance; 320x240 unless sized
//   file:<left>,<right>                recorded footage played in a loop
//                                      (also file:<left>,file:<right>)
//   vfw                                the system's own Video for Windows
//                                      driver 0, for both windows (Windows)
//   anything else                      a host camera: a V4L2 device path on
//                                      Linux, an index or part of a camera's
//                                      name on Windows (DirectShow), or
//                                      either after "mf:" (Media Foundation)
// Unset or empty: every host camera present, in order. The first capture
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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/playback_clock.h"
#include "platform/win32.h"

namespace {

using standin::CameraDevice;
using standin::CaptureFault;
using standin::GrabResult;

constexpr int kSimulatedWidth = 320;
constexpr int kSimulatedHeight = 240;
constexpr int kMaxSimulatedSide = 8192;
const wchar_t kCaptureClass[] = L"KestrovaCapture";

struct RigCamera {
    enum class Kind { Simulated, Host, File, Vfw, Invalid };
    Kind kind = Kind::Invalid;
    std::string name;  // as given, for messages: the device, file or entry
    int simulatedCamera = 0;  // 0 left, 1 right
    double distance = 0.0;    // simulated: > 0 holds the ball still at that distance
    int width = kSimulatedWidth, height = kSimulatedHeight;  // simulated
    std::unique_ptr<CameraDevice> device;  // open while connected
    bool gone = false;  // vanished for good (an injected fault)
};

struct Rig {
    bool loaded = false;
    uint64_t generation = 1;  // advanced by every reset
    std::vector<RigCamera> cameras;
    size_t nextCamera = 0;
    std::shared_ptr<standin::SimulatedScene> scene = std::make_shared<standin::SimulatedScene>();
    std::shared_ptr<standin::PlaybackClock> playback = std::make_shared<standin::PlaybackClock>();  // recorded files
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
    std::vector<uint8_t> frame;
};
// Shared, so that a window's record outlives a callback that destroys it.
std::map<HWND, std::shared_ptr<CaptureWindow>> captureWindows;

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void addInvalid(const std::string& entry, const std::string& why) {
    std::fprintf(stderr, "KESTROVA_CAMERAS: \"%s\" %s\n", entry.c_str(), why.c_str());
    RigCamera c;
    c.name = entry;
    rig.cameras.push_back(std::move(c));
}

// "sim", "sim:<metres>", either with "@<width>x<height>".
void addSimulatedRig(const std::string& entry) {
    std::string text = entry.substr(3);
    int width = kSimulatedWidth, height = kSimulatedHeight;
    const size_t at = text.find('@');
    if (at != std::string::npos) {
        const std::string size = text.substr(at + 1);
        text.resize(at);
        char* end = nullptr;
        const long w = std::strtol(size.c_str(), &end, 10);
        const long h = *end == 'x' && end[1] >= '0' && end[1] <= '9' ? std::strtol(end + 1, &end, 10) : -1;
        if (size.empty() || size[0] < '0' || size[0] > '9' || *end != '\0' || w < 4 || w > kMaxSimulatedSide ||
            w % 4 != 0 || h < 1 || h > kMaxSimulatedSide) {
            addInvalid(entry, "is not a size <width>x<height> with a width that is a multiple of 4, up to 8192");
            return;
        }
        width = int(w);
        height = int(h);
    }
    double distance = 0.0;
    if (!text.empty()) {
        char* end = nullptr;
        distance = text[0] == ':' ? std::strtod(text.c_str() + 1, &end) : 0.0;
        if (text[0] != ':' || end == text.c_str() + 1 || *end != '\0' || !std::isfinite(distance) ||
            distance <= 0.0) {
            addInvalid(entry, "is not sim:<metres> with a distance above 0");
            return;
        }
    }
    for (int camera = 0; camera < 2; ++camera) {
        RigCamera c;
        c.kind = RigCamera::Kind::Simulated;
        c.name = "sim";
        c.simulatedCamera = camera;
        c.distance = distance;
        c.width = width;
        c.height = height;
        rig.cameras.push_back(std::move(c));
    }
}

void addCamera(RigCamera::Kind kind, const std::string& name) {
    RigCamera c;
    c.kind = kind;
    c.name = name;
    rig.cameras.push_back(std::move(c));
}

void loadRig() {
    if (rig.loaded) return;
    rig.loaded = true;
    const char* env = std::getenv("KESTROVA_CAMERAS");
    if (env == nullptr || trim(env).empty()) {
        for (const std::string& name : standin::listHostCameras()) addCamera(RigCamera::Kind::Host, name);
        return;
    }
    const std::string list = env;
    bool filePartner = false;  // the entry after "file:<left>" is the right file
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string entry = trim(list.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) continue;
        const bool file = entry.compare(0, 5, "file:") == 0;
        if (file || filePartner) {
            const std::string path = file ? entry.substr(5) : entry;
            if (path.empty()) {
                addInvalid(entry, "names no file");
            } else {
                addCamera(RigCamera::Kind::File, path);
            }
            filePartner = file && !filePartner;
        } else if (entry == "sim" || entry.compare(0, 4, "sim:") == 0 || entry.compare(0, 4, "sim@") == 0) {
            addSimulatedRig(entry);
        } else if (entry == "vfw") {
#ifdef _WIN32
            addCamera(RigCamera::Kind::Vfw, entry);
            addCamera(RigCamera::Kind::Vfw, entry);
#else
            addInvalid(entry, "names Video for Windows, which only Windows has");
#endif
        } else {
            addCamera(RigCamera::Kind::Host, entry);
        }
    }
}

std::unique_ptr<CameraDevice> openCamera(RigCamera& camera, std::string& error) {
    switch (camera.kind) {
        case RigCamera::Kind::Simulated:
            return standin::openSimulatedCamera(camera.simulatedCamera, camera.distance, camera.width, camera.height,
                                                rig.scene);
        case RigCamera::Kind::Host:
            return standin::openHostCamera(camera.name, error);
        case RigCamera::Kind::File:
            return standin::openRecordedFootage(camera.name, rig.playback, error);
        case RigCamera::Kind::Vfw:
#ifdef _WIN32
            return standin::openVfwCamera(error);
#endif
        case RigCamera::Kind::Invalid:
            break;
    }
    return nullptr;
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
    if (camera.gone || camera.kind == RigCamera::Kind::Invalid) return FALSE;
    if (camera.device == nullptr) {
        std::string error;
        camera.device = openCamera(camera, error);
        if (camera.device == nullptr) {
            if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
            return FALSE;
        }
        if (camera.kind == RigCamera::Kind::Host || camera.kind == RigCamera::Kind::File) {
            // Which device became which side, so that swapped cameras are seen at once.
            const std::string role = w.camera == 0   ? "left camera"
                                     : w.camera == 1 ? "right camera"
                                                     : "camera " + std::to_string(w.camera + 1);
            const std::string description = camera.device->description();
            std::fprintf(stderr, "%s: %s%s%s\n", role.c_str(), camera.name.c_str(), description.empty() ? "" : ", ",
                         description.c_str());
        }
        warnOfMismatchedSizes();
    }
    w.width = camera.device->width();
    w.height = camera.device->height();
    w.haveFrame = false;
    w.connectedAt = std::chrono::steady_clock::now();
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
    if (camera->gone || camera->device == nullptr) return FALSE;

    const size_t imageBytes = size_t(w.width) * 3 * size_t(w.height);
    w.frame.resize(imageBytes);
    const GrabResult result = camera->device->grab(w.frame.data());
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

LRESULT CALLBACK captureWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto found = captureWindows.find(hwnd);
    if (found == captureWindows.end()) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const std::shared_ptr<CaptureWindow> w = found->second;  // kept while the message is handled
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
            disconnect(*w);
            captureWindows.erase(hwnd);
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
    rig.scene = std::make_shared<SimulatedScene>();
    rig.playback = std::make_shared<PlaybackClock>();
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
    return hwnd;
}
