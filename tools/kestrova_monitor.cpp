// Runs a program with COM1 on a pseudo-terminal and prints every report the
// program sends there, one per line, until the program ends.
//
//   kestrova-monitor PROGRAM [ARGS...]
//   kestrova-monitor --help | --version
//
// Reports are " x0 y0 x1 y1" with no terminator. Each goes out in one write
// and takes about 1 ms a character at 9600 baud, so a report is complete once
// the line has been quiet for a short gap: the bytes received so far are then
// printed as they came, leading space included, as one line. Reports that
// arrive run together (after a stall) are split where the fifth number would
// begin.
//
// SIGINT, SIGTERM and SIGHUP to the monitor are passed on to the program,
// which closes as on Ctrl-C; the monitor then exits with the program's status.
// The program does not outlive the monitor: when the reports can no longer be
// printed (the reader of standard output went away, as with `| head -3`) the
// program is ended the same way, and should the monitor itself die, the
// kernel sends the program SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef KESTROVA_VERSION
#error "KESTROVA_VERSION (the project's version) is given by CMakeLists.txt"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Quiet time on the line that ends a report: many character times at
// 9600 baud, and short next to the second between reports.
constexpr std::chrono::milliseconds kQuietGap(40);

volatile sig_atomic_t program = -1;
bool outputGone = false;  // standard output failed; the program was told to end

void forwardSignal(int signal) {
    if (program > 0) kill(pid_t(program), signal);
}

// Gathers the bytes of one report and prints them as one line.
struct ReportPrinter {
    std::string line;
    int spaces = 0;

    void feed(const char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] == ' ' && spaces == 4 && line.back() != ' ') flush();
            if (bytes[i] == ' ') ++spaces;
            line += bytes[i];
        }
    }
    void flush() {
        if (line.empty()) return;
        line += '\n';
        if (!outputGone && (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)) {
            outputGone = true;
            if (program > 0) kill(pid_t(program), SIGTERM);
        }
        line.clear();
        spaces = 0;
    }
};

const char kUsage[] = "Usage: kestrova-monitor PROGRAM [ARGS...]\n";

const char kHelp[] =
    "\n"
    "Runs PROGRAM (normally kestrova) with COM1 on a new pseudo-terminal\n"
    "(KESTROVA_COM1 names it) and prints every report PROGRAM sends there, one per\n"
    "line, as received. SIGINT, SIGTERM and SIGHUP are passed on to PROGRAM; when\n"
    "standard output goes away, PROGRAM is ended. Exits with PROGRAM's status.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "More in kestrova-monitor(1).\n";

// Answers the monitor's own options; the exit status when the monitor should
// end here, -1 when argv[1] is the program to run. A program's name never
// starts with '-', so anything that does is an option.
int answerOptions(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "%s(see kestrova-monitor --help)\n", kUsage);
        return 2;
    }
    const char* option = argv[1];
    if (option[0] != '-') return -1;
    bool written = false;
    if (std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0) {
        written = std::fputs(kUsage, stdout) >= 0 && std::fputs(kHelp, stdout) >= 0;
    } else if (std::strcmp(option, "--version") == 0) {
        written = std::printf("kestrova-monitor %s\n", KESTROVA_VERSION) > 0;
    } else {
        std::fprintf(stderr, "kestrova-monitor: unknown option '%s' (see kestrova-monitor --help)\n", option);
        return 2;
    }
    if (written && std::fflush(stdout) == 0) return 0;
    std::perror("kestrova-monitor: cannot write to standard output");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = answerOptions(argc, argv);
    if (answered >= 0) return answered;
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("kestrova-monitor: openpty");
        return 1;
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::fprintf(stderr, "COM1 is %s; reports follow, one per line.\n", name);
    setenv("KESTROVA_COM1", name, 1);

    // Installed before the fork so that no signal falls between the two; the
    // program starts with the default handling.
    struct sigaction forward {};
    forward.sa_handler = forwardSignal;
    sigemptyset(&forward.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &forward, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed output shows as a failed write
    const pid_t monitor = getpid();
    const pid_t child = fork();
    if (child == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, SIG_DFL);
        // Kept across exec; the check covers a monitor that died before it.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != monitor) _exit(1);
        close(master);
        close(slave);
        execvp(argv[1], argv + 1);
        std::perror("kestrova-monitor: cannot run the program");
        _exit(127);
    }
    if (child < 0) {
        std::perror("kestrova-monitor: fork");
        return 1;
    }
    program = child;

    // The slave stays open here so the line does not hang up between the
    // program's open and close.
    ReportPrinter printer;
    Clock::time_point lastByte{};
    int status = 0;
    for (bool running = true; running;) {
        int wait = 200;
        if (!printer.line.empty()) {
            const auto quietUntil = lastByte + kQuietGap;
            wait = int(std::chrono::ceil<std::chrono::milliseconds>(quietUntil - Clock::now()).count());
            if (wait <= 0) {
                printer.flush();
                continue;
            }
        }
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, wait) > 0 && (pfd.revents & POLLIN)) {
            char buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                printer.feed(buffer, size_t(n));
                lastByte = Clock::now();
            }
        }
        const pid_t done = waitpid(child, &status, WNOHANG);
        running = !(done == child || (done < 0 && errno != EINTR));
    }
    // What the program wrote just before it ended.
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buffer[512];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) printer.feed(buffer, size_t(n));
    printer.flush();
    close(master);
    close(slave);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
