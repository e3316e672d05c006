// The process entry of the stand-in: hands over to the program's wWinMain,
// as Windows does, and closes the display afterwards.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/avicap32/camera_device.h"
#include "platform/linux/stand_in.h"

namespace {

// The arguments after the program name, joined by spaces, UTF-8 decoded
// (malformed bytes become U+FFFD).
std::wstring commandLineOf(int argc, char** argv) {
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += L' ';
        const auto* p = reinterpret_cast<const unsigned char*>(argv[i]);
        while (*p != 0) {
            const unsigned lead = *p++;
            int more = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
            uint32_t c = more == 0 ? lead : more == 1 ? lead & 0x1F : more == 2 ? lead & 0x0F : lead & 0x07;
            for (int k = 0; k < more; ++k, ++p) {
                if ((*p & 0xC0) != 0x80) {
                    more = -1;
                    break;
                }
                c = (c << 6) | (*p & 0x3F);
            }
            line += more < 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? wchar_t(0xFFFD) : wchar_t(c);
        }
    }
    return line;
}

// Stands for the module handle Windows passes.
char moduleTag;

// With no cameras named and none present, the program shows the simulated
// rig instead of two empty pictures, so that it is of use when started from
// the desktop's menu. Cameras named in KESTROVA_CAMERAS are left alone: one
// that is missing is reported as such.
void useSimulatedRigWithoutCameras() {
    const char* cameras = std::getenv("KESTROVA_CAMERAS");
    if (cameras != nullptr && std::string(cameras).find_first_not_of(" \t") != std::string::npos) return;
    if (!standin::listHostCameras().empty()) return;
    std::fprintf(stderr, "No camera found: using the simulated stereo rig (KESTROVA_CAMERAS=sim).\n");
    setenv("KESTROVA_CAMERAS", "sim", 1);
}

}  // namespace

int main(int argc, char** argv) {
    standin::installSignalHandlers();
    useSimulatedRigWithoutCameras();
    std::wstring commandLine = commandLineOf(argc, argv);
    const int code = wWinMain(reinterpret_cast<HINSTANCE>(&moduleTag), nullptr, commandLine.data(), SW_SHOWDEFAULT);
    standin::shutDown();
    return code;
}
