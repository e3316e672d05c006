// The serial report link: COM1 opened once, reports written to it as ASCII.
#include "serial/serial_link.h"

#include <cstdio>
#include <cwchar>

#include "app/main_window.h"
#include "platform/win32.h"

namespace {

// The port, or null while there is none.
HANDLE serialPort = nullptr;

void showSerialMessage(LPCWSTR text) { MessageBoxW(mainWindow, text, L"Kestrova", MB_OK); }

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

    // A write waits at most about a second in all, so a line that flow
    // control holds back costs one wait instead of freezing the window; the
    // other timeouts stay as the port reports them.
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(serialPort, &timeouts);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(serialPort, &timeouts);

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
    DWORD sent = 0;
    WriteFile(serialPort, str, DWORD(length), &sent, nullptr);
}

void closeSerialLink() {
    if (serialPort == nullptr) return;
    CloseHandle(serialPort);
    serialPort = nullptr;
}
