#include "platform/avicap32/camera_backends.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/avicap32/returning_camera.h"
#include "tracking/tracker_settings.h"

namespace standin {

namespace {

constexpr int kMaxSimulatedSide = 8192;

void addCamera(const CameraBackend& backend, const std::string& name, std::vector<RigCameraEntry>& cameras) {
    RigCameraEntry c;
    c.backend = &backend;
    c.name = name;
    cameras.push_back(std::move(c));
}

// rest: "", ":<metres>", either followed by "@<width>x<height>".
bool parseSimulated(const CameraBackend& self, const std::string&, const std::string& rest,
                    std::vector<RigCameraEntry>& cameras, std::string& why) {
    std::string text = rest;
    RigCameraEntry c;
    c.backend = &self;
    c.name = "sim";
    const size_t at = text.find('@');
    if (at != std::string::npos) {
        const std::string size = text.substr(at + 1);
        text.resize(at);
        char* end = nullptr;
        const long w = std::strtol(size.c_str(), &end, 10);
        const long h = *end == 'x' && end[1] >= '0' && end[1] <= '9' ? std::strtol(end + 1, &end, 10) : -1;
        if (size.empty() || size[0] < '0' || size[0] > '9' || *end != '\0' || w < 4 || w > kMaxSimulatedSide ||
            w % 4 != 0 || h < 1 || h > kMaxSimulatedSide) {
            why = "is not a size <width>x<height> with a width that is a multiple of 4, up to 8192";
            return false;
        }
        c.width = int(w);
        c.height = int(h);
    }
    if (!text.empty()) {
        const size_t slash = text.find('/');
        const bool two = slash != std::string::npos;
        double& first = c.distance;
        double& second = c.secondDistance;
        if (text[0] != ':' || !parseDecimalSetting(text.substr(1, two ? slash - 1 : std::string::npos), first) ||
            !(first > 0.0) || (two && (!parseDecimalSetting(text.substr(slash + 1), second) || !(second > 0.0)))) {
            why = "is not sim:<metres> or sim:<metres>/<metres> with distances above 0";
            return false;
        }
    }
    for (int camera = 0; camera < 2; ++camera) {
        c.simulatedCamera = camera;
        cameras.push_back(c);
    }
    return true;
}

// rest: ":<path>".
bool parseFile(const CameraBackend& self, const std::string&, const std::string& rest,
               std::vector<RigCameraEntry>& cameras, std::string& why) {
    if (rest.size() < 2 || rest[0] != ':') {
        why = "names no file";
        return false;
    }
    addCamera(self, rest.substr(1), cameras);
    return true;
}

// Driver 0 gives both windows their pictures.
bool parseVfw(const CameraBackend& self, const std::string& entry, const std::string& rest,
              std::vector<RigCameraEntry>& cameras, std::string& why) {
    if (!rest.empty()) {
        why = "is not vfw: Video for Windows takes nothing after its name";
        return false;
    }
    addCamera(self, entry, cameras);
    addCamera(self, entry, cameras);
    return true;
}

bool parseHost(const CameraBackend& self, const std::string& entry, const std::string&,
               std::vector<RigCameraEntry>& cameras, std::string&) {
    addCamera(self, entry, cameras);
    return true;
}

std::unique_ptr<CameraDevice> openSimulated(const RigCameraEntry& c, const RigClocks& clocks, std::string&) {
    SimulatedView view;
    view.distance = c.distance;
    view.secondDistance = c.secondDistance;
    view.rig = c.simulatedRig;
    return openSimulatedCamera(c.simulatedCamera, view, c.width, c.height, clocks.scene);
}

std::unique_ptr<CameraDevice> openFile(const RigCameraEntry& c, const RigClocks& clocks, std::string& error) {
    return openRecordedFootage(c.name, clocks.playback, error);
}

std::unique_ptr<CameraDevice> openHost(const RigCameraEntry& c, const RigClocks&, std::string& error) {
    return openHostCamera(c.name, error);
}

#ifdef _WIN32
std::unique_ptr<CameraDevice> openVfw(const RigCameraEntry&, const RigClocks&, std::string& error) {
    return openVfwCamera(error);
}
#else
constexpr auto openVfw = nullptr;  // Video for Windows exists only there
#endif

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The backend whose prefix entry starts with, and in rest what follows the
// prefix.
const CameraBackend& backendOf(const std::string& entry, std::string& rest) {
    for (const CameraBackend& backend : cameraBackends()) {
        const size_t n = std::strlen(backend.prefix);
        if (n == 0 || entry.compare(0, n, backend.prefix) != 0) continue;
        if (entry.size() == n || entry[n] == ':' || entry[n] == '@') {
            rest = entry.substr(n);
            return backend;
        }
    }
    rest = entry;
    return cameraBackends().back();
}

}  // namespace

const std::vector<CameraBackend>& cameraBackends() {
    static const std::vector<CameraBackend> backends = {
        {"sim", "the simulated stereo rig", "every platform", parseSimulated, openSimulated, false, false, true},
        {"file", "recorded footage", "every platform", parseFile, openFile, true, true, false},
        {"vfw", "Video for Windows", "Windows", parseVfw, openVfw, false, false, false},
#ifdef _WIN32
        {"", "a DirectShow camera", "Windows", parseHost, openHost, false, true, false},
#else
        {"", "a V4L2 camera", "Linux", parseHost, openHost, false, true, false},
#endif
    };
    return backends;
}

std::vector<RigCameraEntry> parseCameraList(const char* list) {
    std::vector<RigCameraEntry> cameras;
    const CameraBackend& host = cameraBackends().back();
    if (list == nullptr || trim(list).empty()) {
        for (const std::string& name : listHostCameras()) addCamera(host, name, cameras);
        return cameras;
    }
    const std::string text = list;
    const CameraBackend* partnerOf = nullptr;  // the entry after "file:<left>" is the right file
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string entry = trim(text.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) continue;
        std::string rest;
        const CameraBackend* backend = &backendOf(entry, rest);
        const bool partner = partnerOf != nullptr && backend != partnerOf;
        if (partner) {
            backend = partnerOf;
            rest = ":" + entry;
        }
        partnerOf = backend->pairs && !partner && partnerOf == nullptr ? backend : nullptr;
        std::string why;
        if (backend->open == nullptr) {
            why = std::string("names ") + backend->description + ", which only " + backend->platforms + " has";
        } else if (backend->parse(*backend, entry, rest, cameras, why)) {
            continue;
        }
        std::fprintf(stderr, "KESTROVA_CAMERAS: \"%s\" %s\n", entry.c_str(), why.c_str());
        RigCameraEntry invalid;
        invalid.name = entry;
        cameras.push_back(std::move(invalid));
    }
    return cameras;
}

bool parseSimulatedRig(const std::string& text, SimulatedRig& rig, std::string& why) {
    constexpr double kDegree = 3.14159265358979323846 / 180.0;
    const std::vector<std::string> parts = splitSetting(text, ',');
    double spacing = 0.0, fieldOfView = 0.0, toeIn = 0.0;
    SimulatedRig parsed;
    if (parts.size() < 2 || parts.size() > 4 || !parseDecimalSetting(parts[0], spacing) ||
        !parseDecimalSetting(parts[1], fieldOfView) || (parts.size() > 2 && !parseDecimalSetting(parts[2], toeIn)) ||
        (parts.size() > 3 && !parseColourSetting(parts[3], parsed.ballColour))) {
        why = "is not <spacing m>,<field of view degrees>[,<toe-in degrees>[,<ball colour>]]";
        return false;
    }
    if (!(spacing > 0.0 && spacing <= 100.0) || !(fieldOfView > 0.0 && fieldOfView < 170.0) ||
        !(std::fabs(toeIn) < 45.0) || fieldOfView / 2.0 + std::fabs(toeIn) >= 89.0) {
        why = "is not a rig: a spacing up to 100 m, a field of view below 170 degrees, a toe-in below 45 degrees";
        return false;
    }
    parsed.baseline = spacing;
    parsed.halfFieldOfView = fieldOfView / 2.0 * kDegree;
    parsed.toeIn = toeIn * kDegree;
    rig = parsed;
    return true;
}

std::vector<RigCameraEntry> parseCameraList(const char* list, const char* simulatedRig) {
    std::vector<RigCameraEntry> cameras = parseCameraList(list);
    SimulatedRig rig;
    std::string why;
    if (simulatedRig != nullptr && *simulatedRig != '\0' && !parseSimulatedRig(simulatedRig, rig, why)) {
        std::fprintf(stderr, "KESTROVA_SIM_RIG: \"%s\" %s; using 0.14 m, 30 degrees, parallel, a red ball.\n",
                     simulatedRig, why.c_str());
    }
    for (RigCameraEntry& camera : cameras) camera.simulatedRig = rig;
    return cameras;
}

std::unique_ptr<CameraDevice> openRigCamera(const RigCameraEntry& camera, const RigClocks& clocks, std::string& error) {
    if (camera.backend == nullptr || camera.backend->open == nullptr) return nullptr;
    std::unique_ptr<CameraDevice> device = camera.backend->open(camera, clocks, error);
    if (device == nullptr) return nullptr;
    CameraDevice::Reopen reopen = device->reopener();
    return makeReturning(std::move(device), camera.name, std::move(reopen), camera.settings);
}

}  // namespace standin
