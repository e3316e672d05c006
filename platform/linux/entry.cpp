// The process entry of the stand-in: answers the command line the way a
// Linux command does, then hands over to the program's wWinMain, as Windows
// does, and closes the display afterwards.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "platform/avicap32/camera_device.h"
#include "platform/linux/stand_in.h"

#ifndef KESTROVA_VERSION
#error "KESTROVA_VERSION (the project's version) is given by CMakeLists.txt"
#endif
#ifndef KESTROVA_README
#error "KESTROVA_README (where the README is installed) is given by CMakeLists.txt"
#endif

namespace {

// Writes text wrapped to lines of at most 79 columns, the first indented by
// `first` spaces, the others by six (a word longer than a line stands alone).
void printWrapped(const std::string& text, size_t first = 6) {
    constexpr size_t kIndent = 6, kWidth = 79;
    size_t column = 0;
    bool firstLine = true;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const size_t length = end - at;
        if (column > 0 && column + 1 + length > kWidth) {
            std::putchar('\n');
            column = 0;
        }
        if (column == 0) {
            column = firstLine ? first : kIndent;
            firstLine = false;
            std::printf("%*s", int(column), "");
        } else {
            std::putchar(' ');
            ++column;
        }
        std::fwrite(text.data() + at, 1, length, stdout);
        column += length;
        at = end + 1;
    }
    std::putchar('\n');
}

bool printHelp() {
    std::printf(
        "Usage: kestrova [--help | --version]\n"
        "\n"
        "Tracks a red target (or one of the colour KESTROVA_TARGET names) with two\n"
        "cameras side by side, shows both pictures with a green marker on the target and\n"
        "its estimated distance, and once a second sends the averaged target positions\n"
        "over COM1 (9600 baud, 8N1) as \" x0 y0 x1 y1\".\n"
        "Up and down arrows raise and lower the colour threshold; a left click switches\n"
        "the views. Without a display it runs headless. SIGINT, SIGTERM and SIGHUP end\n"
        "it as closing its window does.\n"
        "\n"
        "  -h, --help     print this help and exit\n"
        "      --version  print the version and exit\n"
        "\n"
        "Environment (each read once at start-up; a bad value is said, and the default\n"
        "used):\n");
    for (const SettingInfo& setting : settingsTable()) {
        printWrapped(std::string(setting.name) + "=" + setting.form, 2);
        printWrapped(setting.help);
        printWrapped(std::string("default: ") + setting.byDefault);
    }
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
