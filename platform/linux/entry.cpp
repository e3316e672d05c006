// The process entry of the stand-in: answers the command line the way a
// Linux command does, then hands over to the program's wWinMain, as Windows
// does, and closes the display afterwards.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/avicap32/camera_device.h"
#include "platform/linux/stand_in.h"

#ifndef KESTROVA_VERSION
#error "KESTROVA_VERSION (the project's version) is given by CMakeLists.txt"
#endif
#ifndef KESTROVA_README
#error "KESTROVA_README (where the README is installed) is given by CMakeLists.txt"
#endif

namespace {

// The settings the program reads, for --help.
struct HelpRow {
    const char* name;
    const char* help;
    const char* fallback;
};
constexpr HelpRow kSettings[] = {
    {"KESTROVA_CAMERAS", "the cameras, left first: devices, sim, sim:<metres>, file:<left>,<right>",
     "every camera present; the simulated rig when there is none"},
    {"KESTROVA_COM1", "the serial device COM1 opens (COMn: KESTROVA_COMn)", "/dev/ttyS0 (COMn: /dev/ttyS<n-1>)"},
    {"KESTROVA_FONT", "the font file of the distance line", "DejaVu Sans, found through fontconfig"},
};

bool printHelp() {
    std::printf(
        "Usage: kestrova [--help | --version]\n"
        "\n"
        "Tracks a red target with two cameras side by side, shows both pictures with a\n"
        "green marker on the target and its estimated distance, and once a second sends\n"
        "the averaged target positions over COM1 (9600 baud, 8N1) as \" x0 y0 x1 y1\".\n"
        "Up and down arrows raise and lower the colour threshold; a left click switches\n"
        "the views. Without a display it runs headless. SIGINT, SIGTERM and SIGHUP end\n"
        "it as closing its window does.\n"
        "\n"
        "  -h, --help     print this help and exit\n"
        "      --version  print the version and exit\n"
        "\n"
        "Environment (read once at start-up):\n");
    for (const HelpRow& row : kSettings) std::printf("  %s\n      %s\n      default: %s\n", row.name, row.help, row.fallback);
    std::printf("\nMore in kestrova(1) and %s.\n", KESTROVA_README);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// Answers -h/--help, --version and anything else given on the command line
// before a device, a camera or a window is opened. The exit status when the
// program should end here, -1 when it should run (no arguments).
int answerCommandLine(int argc, char** argv) {
    if (argc < 2) return -1;
    const char* argument = argv[1];
    if (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0) {
        if (printHelp()) return 0;
    } else if (std::strcmp(argument, "--version") == 0) {
        if (std::printf("kestrova %s\n", KESTROVA_VERSION) > 0 && std::fflush(stdout) == 0) return 0;
    } else {
        std::fprintf(stderr, "kestrova: unknown argument '%s' (see kestrova --help)\n", argument);
        return 2;
    }
    std::perror("kestrova: cannot write to standard output");
    return 1;
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
    const int answered = answerCommandLine(argc, argv);
    if (answered >= 0) return answered;
    // Past this point there are no arguments: the command line is empty.
    standin::installSignalHandlers();
    useSimulatedRigWithoutCameras();
    wchar_t commandLine[] = L"";
    const int code = wWinMain(reinterpret_cast<HINSTANCE>(&moduleTag), nullptr, commandLine, SW_SHOWDEFAULT);
    standin::shutDown();
    return code;
}
