// The serial report link: COM1 opened once, reports written to it as ASCII.
#include "serial/serial_link.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/main_window.h"
#include "platform/win32.h"

namespace {

// The port, or null while there is none.
HANDLE serialPort = nullptr;

// A write's total timeout counts for each write, so a line that flow control
// or a stuck adapter holds would cost a full wait at every report. The write
// that finds the line held waits the full time; after that the line counts as
// held: a report is skipped while the port says the line is held, and tried
// with the short wait otherwise, until the line takes one whole again. At
// 9600 baud a byte takes about a millisecond: the full wait is ten times what
// the longest report needs, the short one still time for a report and the
// rest of one.
constexpr DWORD FULL_WAIT_MS = 500;
constexpr DWORD SHORT_WAIT_MS_PER_BYTE = 2;
constexpr DWORD SHORT_WAIT_MS = 20;
bool lineHeld = false;

// Reports have no framing: a report cut short on the line would shift every
// later one. So the rest of a report the line took only part of goes out
// first, before anything else; a report the line took nothing of is dropped
// whole. At most one report long.
std::string unsentRest;

void showSerialMessage(LPCWSTR text) { MessageBoxW(mainWindow, text, L"Kestrova", MB_OK); }

// Sets the write timeouts for a free line or a held one; the other timeouts
// stay as the port reports them.
void setWriteWait(bool held) {
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(serialPort, &timeouts);
    timeouts.WriteTotalTimeoutMultiplier = held ? SHORT_WAIT_MS_PER_BYTE : 0;
    timeouts.WriteTotalTimeoutConstant = held ? SHORT_WAIT_MS : FULL_WAIT_MS;
    SetCommTimeouts(serialPort, &timeouts);
    lineHeld = held;
}

// Whether the port says its output is held: by flow control, or with bytes
// still queued a second after the last report (which takes a few dozen
// milliseconds at 9600 baud). A port that cannot tell says no.
bool portSaysHeld() {
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(serialPort, &errors, &stat)) return false;
    return stat.fCtsHold || stat.fDsrHold || stat.fRlsdHold || stat.fXoffHold || stat.cbOutQue > 0;
}

}  // namespace

void openSerialLink() {
    closeSerialLink();
    HANDLE port = CreateFileW(L"COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) {
        serialPort = nullptr;
        showSerialMessage(L"Could not open serial port!");
        return;
    }
    serialPort = port;
    setWriteWait(false);

    DCB serial = {};
    serial.DCBlength = 28;
    if (!GetCommState(serialPort, &serial)) {
        showSerialMessage(L"Could not read serial port parameters!");
        return;
    }
    serial.BaudRate = 9600;
    serial.ByteSize = 8;
    serial.Parity = NOPARITY;
    serial.StopBits = ONESTOPBIT;
    if (!SetCommState(serialPort, &serial)) {
        WCHAR msg[64];
        swprintf(msg, 64, L"Could not set serial port parameters (Error %d)!", int(GetLastError()));
        showSerialMessage(msg);
    }
}

void sendReport(int32_t a, int32_t b, int32_t c, int32_t d) {
    if (serialPort == nullptr) return;
    char str[64];
    const int length = snprintf(str, sizeof str, " %d %d %d %d", int(a), int(b), int(c), int(d));
    if (length <= 0 || length >= int(sizeof str)) return;
    if (portSaysHeld()) {
        if (!lineHeld) setWriteWait(true);
        return;
    }
    const size_t restLength = unsentRest.size();
    const std::string out = unsentRest + std::string(str, size_t(length));
    DWORD sent = 0;
    WriteFile(serialPort, out.data(), DWORD(out.size()), &sent, nullptr);  // a failure shows in the count
    if (sent >= out.size()) {
        unsentRest.clear();
    } else if (sent <= restLength) {  // nothing of the report went: it is dropped
        unsentRest.erase(0, sent);
    } else {
        unsentRest = out.substr(sent);
    }
    const bool held = sent < out.size();
    if (held != lineHeld) setWriteWait(held);
}

void closeSerialLink() {
    if (serialPort == nullptr) return;
    if (!unsentRest.empty()) {  // one short try, so that the far end is not left with a cut report
        DWORD sent = 0;
        setWriteWait(true);
        WriteFile(serialPort, unsentRest.data(), DWORD(unsentRest.size()), &sent, nullptr);
    }
    CloseHandle(serialPort);
    serialPort = nullptr;
    unsentRest.clear();
    lineHeld = false;
}
