// A pseudo-terminal standing in for the device on a serial port: the test
// holds the master end and reads what the program writes; the program opens
// the slave end by its path (e.g. through KESTROVA_COM1).
//
//   PseudoTerminal line;                      // raw: bytes pass unchanged
//   ASSERT_TRUE(line.ok());
//   setenv("KESTROVA_COM1", line.path.c_str(), 1);
//   ...
//   EXPECT_EQ(line.readUntilQuiet(), " 1 2 3 4");
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

struct PseudoTerminal {
    int master = -1, slave = -1;
    std::string path;  // the slave end

    PseudoTerminal() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            master = slave = -1;
            return;
        }
        path = name;
        termios tio;
        if (tcgetattr(slave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(slave, TCSANOW, &tio);
        }
    }
    ~PseudoTerminal() {
        closeMaster();
        if (slave >= 0) close(slave);
    }
    PseudoTerminal(PseudoTerminal&& other) noexcept { swap(other); }
    PseudoTerminal& operator=(PseudoTerminal&& other) noexcept {
        PseudoTerminal gone(std::move(other));
        swap(gone);
        return *this;
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return master >= 0; }

    // The far end goes away: the line hangs up for whoever holds the slave.
    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    // What one read gets once bytes arrive within `wait`; empty if none came.
    std::string readChunk(std::chrono::milliseconds wait) const {
        pollfd p{master, POLLIN, 0};
        if (master < 0 || poll(&p, 1, int(wait.count())) <= 0 || !(p.revents & POLLIN)) return {};
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, size_t(n)) : std::string();
    }

    // Everything that arrives until at least `atLeast` bytes came and then
    // nothing more for `quiet`; gives up when nothing has come for `giveUp`.
    std::string readUntilQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds(200), size_t atLeast = 0,
                               std::chrono::milliseconds giveUp = std::chrono::seconds(5)) const {
        std::string got;
        auto silentSince = std::chrono::steady_clock::now();
        for (;;) {
            const std::string chunk = readChunk(got.size() >= atLeast ? quiet : std::chrono::milliseconds(100));
            if (!chunk.empty()) {
                got += chunk;
                silentSince = std::chrono::steady_clock::now();
            } else if (got.size() >= atLeast || std::chrono::steady_clock::now() - silentSince >= giveUp) {
                return got;
            }
        }
    }

private:
    void swap(PseudoTerminal& other) noexcept {
        std::swap(master, other.master);
        std::swap(slave, other.slave);
        std::swap(path, other.path);
    }
};
