// The serial report link and the stand-in's serial calls, on pseudo-terminals
// made here; KESTROVA_COM1 always names one of them or a temporary path.
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/main_window.h"
#include "platform/linux/stand_in.h"
#include "serial/serial_link.h"
#include "tests/support/pseudo_terminal.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

HANDLE openPort(const wchar_t* name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Serial : public ::testing::Test {
protected:
    PseudoTerminal line;
    std::string tempDir = "/tmp/kestrova-serial-XXXXXX";

    // The line starts at 38400 baud with two stop bits, hardware and XON/XOFF
    // flow control and output processing, so that changes show.
    void SetUp() override {
        ASSERT_TRUE(line.ok());
        termios tio;
        ASSERT_EQ(tcgetattr(line.slave, &tio), 0);
        cfsetspeed(&tio, B38400);
        tio.c_cflag |= CSTOPB | CRTSCTS;
        tio.c_iflag |= IXON;
        tio.c_oflag |= OPOST | ONLCR;
        ASSERT_EQ(tcsetattr(line.slave, TCSANOW, &tio), 0);
        setenv("KESTROVA_COM1", line.path.c_str(), 1);
        ASSERT_NE(mkdtemp(&tempDir[0]), nullptr);
        standin::clearShownMessages();
    }
    void TearDown() override {
        closeSerialLink();
        std::system(("rm -rf " + tempDir).c_str());
    }

    // All the far end receives; waits at most a few seconds for `expected` bytes.
    std::string farEndReads(size_t expected) {
        return line.readUntilQuiet(milliseconds(100), expected, milliseconds(3000));
    }
    termios farEndSettings() {
        termios tio{};
        EXPECT_EQ(tcgetattr(line.master, &tio), 0);  // a master reads its slave's settings
        return tio;
    }
    void expectOneMessage(const wchar_t* text) {
        ASSERT_EQ(standin::shownMessages().size(), 1u);
        const auto& shown = standin::shownMessages()[0];
        EXPECT_EQ(shown.text, text);
        EXPECT_EQ(shown.caption, L"Kestrova");
        EXPECT_EQ(shown.type, 0u);
        EXPECT_EQ(shown.owner, mainWindow);
        standin::clearShownMessages();
    }
};

TEST_F(Serial, ReportsGoOutExactlyAtNineSixHundredEightNoneOne) {
    openSerialLink();
    EXPECT_TRUE(standin::shownMessages().empty());
    sendReport(160, 120, 140, 118);
    EXPECT_EQ(farEndReads(16), " 160 120 140 118");
    sendReport(-1, 0, 5, 7);
    sendReport(INT32_MIN, INT32_MIN, INT32_MAX, 0);
    EXPECT_EQ(farEndReads(43), " -1 0 5 7 -2147483648 -2147483648 2147483647 0");

    const termios tio = farEndSettings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B9600));
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);  // flow control stays as the port had it
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_FALSE(tio.c_oflag & OPOST);  // binary: no CR/LF translation
}

TEST_F(Serial, FailuresShowTheirMessage) {
    // A missing device: no port, and nothing written even once a file is there.
    const std::string missing = tempDir + "/no-such-port", plain = tempDir + "/plain-file";
    setenv("KESTROVA_COM1", missing.c_str(), 1);
    openSerialLink();
    expectOneMessage(L"Could not open serial port!");
    std::ofstream(missing).close();
    sendReport(1, 2, 3, 4);
    EXPECT_EQ(fileText(missing), "");

    // Not a serial line: a file is never opened as the port, nor written.
    std::ofstream(plain) << "hello";
    setenv("KESTROVA_COM1", plain.c_str(), 1);
    openSerialLink();
    expectOneMessage(L"Could not open serial port!");
    sendReport(160, 120, 140, 118);
    EXPECT_EQ(fileText(plain), "hello");

    // Settings the line refuses (one character for both XON and XOFF): the
    // error number in the message, the old settings kept, reports still sent.
    setenv("KESTROVA_COM1", line.path.c_str(), 1);
    termios tio = farEndSettings();
    tio.c_cc[VSTART] = tio.c_cc[VSTOP];
    ASSERT_EQ(tcsetattr(line.slave, TCSANOW, &tio), 0);
    openSerialLink();
    expectOneMessage(L"Could not set serial port parameters (Error 87)!");
    tio = farEndSettings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B38400));
    sendReport(-1, 0, 5, 7);
    EXPECT_EQ(farEndReads(9), " -1 0 5 7");
}

// Run by the next test in a process of its own while it holds the port.
TEST_F(Serial, DISABLED_ChildIsRefused) {
    const char* held = std::getenv("KESTROVA_HELD_COM1");
    ASSERT_NE(held, nullptr);
    setenv("KESTROVA_COM1", held, 1);
    EXPECT_EQ(openPort(L"COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(Serial, PortIsExclusive) {
    openSerialLink();
    const std::wstring path(line.path.begin(), line.path.end());
    for (const wchar_t* name : {L"COM1", L"\\\\.\\COM1", L"com1:", path.c_str()}) {
        EXPECT_EQ(openPort(name, GENERIC_WRITE), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    setenv("KESTROVA_HELD_COM1", line.path.c_str(), 1);  // another process, root or not
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "serial_test", "--gtest_filter=Serial.DISABLED_ChildIsRefused",
              "--gtest_also_run_disabled_tests", (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    closeSerialLink();  // given back, it opens again
    HANDLE port = openPort(L"COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));

    std::ofstream(tempDir + "/f").close();  // a plain file: a sharing violation
    const std::wstring file = std::wstring(tempDir.begin(), tempDir.end()) + L"/f";
    HANDLE first = openPort(file.c_str());
    EXPECT_EQ(openPort(file.c_str(), GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CloseHandle(first));
}

TEST_F(Serial, WritesNeverHangNorCrash) {
    // The far end stops reading: with a write timeout of a second, as the
    // report link sets, a write comes back short after about a second
    // (the bound only tells a wait from a hang, on however busy a machine).
    HANDLE port = openPort(L"COM1");
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    static char chunk[4096];
    DWORD sent = 0;
    bool timedOut = false;
    for (int i = 0; i < 2000 && !timedOut; ++i) {
        const auto start = Clock::now();
        timedOut = WriteFile(port, chunk, sizeof chunk, &sent, nullptr) && sent < sizeof chunk;
        EXPECT_LT(Clock::now() - start, milliseconds(8000));
    }
    ASSERT_TRUE(timedOut);
    EXPECT_LT(sent, sizeof chunk);
    EXPECT_TRUE(CloseHandle(port));

    // Output held (as by an XOFF from the device): a report gives up as well.
    openSerialLink();
    ASSERT_EQ(tcflow(line.slave, TCOOFF), 0);
    const auto start = Clock::now();
    sendReport(160, 120, 140, 118);
    EXPECT_GT(Clock::now() - start, milliseconds(250));  // it did wait for the line
    EXPECT_LT(Clock::now() - start, milliseconds(8000));
    closeSerialLink();

    // The far end goes away: writes fail.
    port = openPort(L"COM1");
    line.closeMaster();
    EXPECT_FALSE(WriteFile(port, "x", 1, &sent, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Serial, CommStateFollowsTheLine) {
    HANDLE port = openPort(L"COM1");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(dcb.fBinary && dcb.fOutxCtsFlow && dcb.fOutX);
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));

    // Refused settings leave the line as it was.
    const auto refused = [&](auto change) {
        DCB bad = dcb;
        change(bad);
        EXPECT_FALSE(SetCommState(port, &bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        DCB after{};
        ASSERT_TRUE(GetCommState(port, &after));
        EXPECT_EQ(std::memcmp(&after, &dcb, sizeof dcb), 0);
    };
    refused([](DCB& d) { d.BaudRate = 12345; });
    refused([](DCB& d) { d.ByteSize = 9; });
    refused([](DCB& d) { d.ByteSize = 5; });  // with two stop bits
    refused([](DCB& d) { d.StopBits = 1; });  // one and a half with 8 bits
    refused([](DCB& d) { d.ByteSize = 7; });  // a pseudo-terminal carries 8 bits only

    dcb.BaudRate = 19200;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    ASSERT_TRUE(SetCommState(port, &dcb));
    const termios tio = farEndSettings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_FALSE((tio.c_cflag & CRTSCTS) || (tio.c_iflag & IXON));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    ASSERT_TRUE(WriteFile(port, "a\nb", 3, nullptr, nullptr));
    EXPECT_EQ(farEndReads(3), "a\nb");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Serial, BadHandlesAndArgumentsFail) {
    int notAHandle = 0;
    HANDLE closed = openPort(L"COM1");
    ASSERT_TRUE(CloseHandle(closed));
    DCB dcb{};
    DWORD sent = 7;
    for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(&notAHandle), closed}) {
        EXPECT_FALSE(GetCommState(bad, &dcb) || SetCommState(bad, &dcb) || WriteFile(bad, "x", 1, &sent, nullptr) ||
                     ClearCommError(bad, nullptr, nullptr));
        EXPECT_EQ(sent, 0u);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    const wchar_t surrogate[] = {0xD800, 0};
    EXPECT_EQ(openPort(surrogate), INVALID_HANDLE_VALUE);
    EXPECT_EQ(openPort(nullptr), INVALID_HANDLE_VALUE);
    setenv("KESTROVA_COM2", "", 1);  // set but empty: no device
    EXPECT_EQ(openPort(L"COM2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    setenv("KESTROVA_COM12", line.path.c_str(), 1);
    HANDLE port = openPort(L"COM12", GENERIC_READ);
    EXPECT_FALSE(WriteFile(port, "x", 1, &sent, nullptr));  // opened for reading only
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(GetCommState(port, nullptr) || WriteFile(port, nullptr, 1, &sent, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Hardware flow control is on, but a pseudo-terminal has no CTS to hold it.
    DWORD errors = 1;
    COMSTAT stat{1, 1, 1, 1, 1, 1, 1, 0, 5, 5};
    EXPECT_TRUE(ClearCommError(port, &errors, &stat) && ClearCommError(port, nullptr, nullptr));
    EXPECT_TRUE(errors == 0 && stat.fCtsHold == 0 && stat.fXoffHold == 0 && stat.cbOutQue == 0 && stat.cbInQue == 0);
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
