// Runs a program with COM1 on a pseudo-terminal and prints every report the
// program sends there, one per line, until the program ends.
//
//   serial_monitor PROGRAM [ARGS...]
//
// Reports are " x0 y0 x1 y1" with no terminator, so the numbers are read as
// a stream and printed four to a line. The monitor ignores Ctrl-C itself: the
// program gets it, closes, and the monitor exits with the program's status.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

pid_t program = -1;

// SIGTERM and SIGHUP to the monitor are passed on to the program, which
// closes as on Ctrl-C; the monitor then ends with it.
void forwardSignal(int signal) {
    if (program > 0) kill(program, signal);
}

// Collects digits and signs into numbers and prints each group of four.
struct ReportPrinter {
    std::string token;
    std::vector<std::string> numbers;

    void feed(const char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const char c = bytes[i];
            if ((c >= '0' && c <= '9') || (c == '-' && token.empty())) {
                token += c;
            } else {
                flushToken();
            }
        }
    }
    void flushToken() {
        if (token.empty()) return;
        numbers.push_back(token);
        token.clear();
        if (numbers.size() == 4) {
            std::printf("%s %s %s %s\n", numbers[0].c_str(), numbers[1].c_str(), numbers[2].c_str(),
                        numbers[3].c_str());
            std::fflush(stdout);
            numbers.clear();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: serial_monitor PROGRAM [ARGS...]\n");
        return 2;
    }
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("serial_monitor: openpty");
        return 1;
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::fprintf(stderr, "COM1 is %s; reports follow, one per line.\n", name);
    setenv("KESTROVA_COM1", name, 1);

    std::signal(SIGINT, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        close(master);
        close(slave);
        execvp(argv[1], argv + 1);
        std::perror("serial_monitor: cannot run the program");
        _exit(127);
    }
    if (child < 0) {
        std::perror("serial_monitor: fork");
        return 1;
    }
    program = child;
    std::signal(SIGTERM, forwardSignal);
    std::signal(SIGHUP, forwardSignal);
    // The slave stays open here so the line does not hang up between the
    // program's open and close.
    ReportPrinter printer;
    int status = 0;
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 200) > 0 && (pfd.revents & POLLIN)) {
            char buffer[512];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) printer.feed(buffer, size_t(n));
        }
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) break;
    }
    printer.flushToken();
    close(master);
    close(slave);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
