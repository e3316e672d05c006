// kernel32's serial calls: line settings, timeouts, writes and the line's
// status, over termios and the terminal ioctls.
//
// Line settings. GetCommState reads the DCB from termios. SetCommState
// compares the DCB with what GetCommState reports for the line now and
// changes in termios only what differs, so flow control and the rest stay as
// the port has them unless the DCB asks otherwise. A COM port only knows
// binary transfers, so SetCommState also turns output processing (OPOST) off:
// the bytes written go out exactly as given, with no CR/LF translation. The
// input side is left alone; nothing here reads.
//
// Writes are synchronous, as on Windows. They wait as long as it takes
// unless SetCommTimeouts gave a total write timeout (a freshly opened handle
// has none): then every write that the line does not take whole in time (flow
// control holding it, a far end that stopped reading) waits that whole time,
// and returns success with the count of what went out. What did not go out
// is not sent later; whoever needs whole writes on the line checks the count.
//
// ClearCommError reports what the terminal layer knows: the bytes still in
// the driver's output and input queues (TIOCOUTQ, TIOCINQ), and a hold by
// CTS when hardware flow control is on and the modem lines say CTS is off.
// Linux tells no one whether output is stopped by XOFF or tcflow, so the
// other hold reasons are never set; a held line then shows only as writes
// that come up short. No line errors are kept, as nothing reads.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <ctime>

#include "platform/linux/kernel32_internal.h"

using standin::FileHandle;
using standin::failWith;
using standin::failWithErrno;
using standin::findHandle;
using standin::errorFromErrno;

namespace {

constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONE5STOPBITS = 1;
constexpr long long NO_DEADLINE = LLONG_MAX;

// Reads the line settings; fails with ERROR_NOT_SUPPORTED for a handle that
// is no serial line.
bool readTermios(int fd, termios& tio) {
    if (tcgetattr(fd, &tio) == 0) return true;
    failWith(errno == ENOTTY || errno == EINVAL ? ERROR_NOT_SUPPORTED : errorFromErrno(errno));
    return false;
}

// The open file behind a handle whose settings are read or changed through
// argument; null with the last error set for an unknown handle or a missing
// argument.
FileHandle* settingsHandle(HANDLE handle, const void* argument) {
    FileHandle* record = findHandle(handle);
    if (record == nullptr) {
        failWith(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (argument == nullptr) {
        failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return record;
}

struct BaudRate {
    DWORD rate;
    speed_t speed;
};
const BaudRate baudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

DWORD rateOfSpeed(speed_t speed) {
    for (const BaudRate& entry : baudRates)
        if (entry.speed == speed) return entry.rate;
    return 0;
}

bool speedOfRate(DWORD rate, speed_t& speed) {
    for (const BaudRate& entry : baudRates) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

DCB dcbFromTermios(const termios& tio) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rateOfSpeed(cfgetospeed(&tio));
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    const bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(tio.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.XonChar = char(tio.c_cc[VSTART]);
    dcb.XoffChar = char(tio.c_cc[VSTOP]);
    return dcb;
}

void setFlag(tcflag_t& flags, tcflag_t flag, bool on) { flags = on ? (flags | flag) : (flags & ~flag); }

// Applies to tio what differs between want and now; false when want asks
// for something this line cannot be set to.
bool applyDcb(const DCB& want, const DCB& now, termios& tio) {
    if (want.ByteSize < 5 || want.ByteSize > 8 || want.Parity > SPACEPARITY || want.StopBits > TWOSTOPBITS)
        return false;
    // One and a half stop bits go with 5 data bits only, two with 6 to 8.
    if (want.StopBits == ONE5STOPBITS && want.ByteSize != 5) return false;
    if (want.StopBits == TWOSTOPBITS && want.ByteSize == 5) return false;
    if ((want.fOutX || want.fInX) && want.XonChar == want.XoffChar) return false;
    if (want.BaudRate != now.BaudRate) {
        speed_t speed;
        if (!speedOfRate(want.BaudRate, speed)) return false;
        cfsetospeed(&tio, speed);
        cfsetispeed(&tio, speed);
    }
    if (want.ByteSize != now.ByteSize) {
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | sizes[want.ByteSize - 5];
    }
    if (want.Parity != now.Parity) {
        setFlag(tio.c_cflag, PARENB, want.Parity != NOPARITY);
        setFlag(tio.c_cflag, PARODD, want.Parity == ODDPARITY || want.Parity == MARKPARITY);
        setFlag(tio.c_cflag, CMSPAR, want.Parity == MARKPARITY || want.Parity == SPACEPARITY);
    }
    if (want.StopBits != now.StopBits) setFlag(tio.c_cflag, CSTOPB, want.StopBits != ONESTOPBIT);
    if (want.fParity != now.fParity) setFlag(tio.c_iflag, INPCK, want.fParity != 0);
    if (want.fOutxCtsFlow != now.fOutxCtsFlow || want.fRtsControl != now.fRtsControl)
        setFlag(tio.c_cflag, CRTSCTS, want.fOutxCtsFlow || want.fRtsControl == RTS_CONTROL_HANDSHAKE);
    if (want.fOutX != now.fOutX) setFlag(tio.c_iflag, IXON, want.fOutX != 0);
    if (want.fInX != now.fInX) setFlag(tio.c_iflag, IXOFF, want.fInX != 0);
    if (want.XonChar != now.XonChar) tio.c_cc[VSTART] = cc_t(want.XonChar);
    if (want.XoffChar != now.XoffChar) tio.c_cc[VSTOP] = cc_t(want.XoffChar);
    tio.c_oflag &= ~OPOST;
    return true;
}

bool sameSettings(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
           a.fRtsControl == b.fRtsControl && a.fOutX == b.fOutX && a.fInX == b.fInX &&
           a.XonChar == b.XonChar && a.XoffChar == b.XoffChar;
}

int setTermios(int fd, const termios& tio) {
    int result;
    do result = tcsetattr(fd, TCSANOW, &tio);
    while (result != 0 && errno == EINTR);
    return result;
}

long long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Writes data to fd (non-blocking) until all of it went or the deadline
// passed; written counts what went out. False only for an error of the line.
BOOL writeAll(int fd, const char* data, DWORD size, DWORD& written, long long deadline) {
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n > 0) {
            written += DWORD(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failWithErrno();
        // No room now: wait for it until the deadline.
        for (;;) {
            const long long left = deadline == NO_DEADLINE ? -1 : deadline - monotonicMs();
            if (deadline != NO_DEADLINE && left <= 0) return TRUE;  // timed out: the count tells
            pollfd waitFor{fd, POLLOUT, 0};
            const int ready = poll(&waitFor, 1, int(std::min<long long>(left, INT_MAX)));
            if (ready > 0) break;  // writable, or an error the next write reports
            if (ready < 0 && errno != EINTR) return failWithErrno();
        }
    }
    return TRUE;
}

}  // namespace

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
    FileHandle* record = settingsHandle(file, dcb);
    if (record == nullptr) return FALSE;
    termios tio;
    if (!readTermios(record->fd, tio)) {
        standin::sayAboutPort(record->port,
                              "cannot read the line settings of " + record->path + ": " + std::strerror(errno));
        return FALSE;
    }
    *dcb = dcbFromTermios(tio);
    return TRUE;
}

// "9600 baud, 8N1" and the like.
static std::string describeLine(const DCB& dcb) {
    static const char parities[] = "NOEMS";
    static const char* const stopBits[] = {"1", "1.5", "2"};
    return std::to_string(dcb.BaudRate) + " baud, " + std::to_string(dcb.ByteSize) +
           parities[dcb.Parity <= SPACEPARITY ? dcb.Parity : 0] + stopBits[dcb.StopBits <= TWOSTOPBITS ? dcb.StopBits : 0];
}

// SetCommState's work. On failure errno holds the device's reason, or 0 when
// the device took the call but not the settings.
static BOOL setLineSettings(FileHandle* record, const DCB* dcb) {
    errno = 0;
    termios old;
    if (!readTermios(record->fd, old)) return FALSE;
    const DCB now = dcbFromTermios(old);
    termios tio = old;
    if (!applyDcb(*dcb, now, tio)) {
        errno = 0;
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (setTermios(record->fd, tio) != 0) {
        const int error = errno;
        setTermios(record->fd, old);
        errno = error;
        return failWith(errorFromErrno(error));
    }
    termios result;
    if (!readTermios(record->fd, result)) return FALSE;
    if (!sameSettings(dcbFromTermios(result), dcbFromTermios(tio))) {
        setTermios(record->fd, old);
        errno = 0;
        return failWith(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

// Changes only what the DCB changes, then reads the line back: a setting the
// device did not take fails the call and the line keeps its old settings.
BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
    FileHandle* record = settingsHandle(file, dcb);
    if (record == nullptr) return FALSE;
    if (!setLineSettings(record, dcb)) {
        const int error = errno;
        standin::sayAboutPort(record->port, "cannot set " + describeLine(*dcb) + " on " + record->path + ": " +
                                                (error != 0 ? std::strerror(error) : "the device does not take it"));
        return FALSE;
    }
    standin::sayAboutPort(record->port, record->path + " at " + describeLine(*dcb));
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    FileHandle* record = settingsHandle(file, timeouts);
    if (record == nullptr) return FALSE;
    *timeouts = record->timeouts;
    return TRUE;
}

// Only the write timeouts mean anything here: nothing reads.
BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    FileHandle* record = settingsHandle(file, timeouts);
    if (record == nullptr) return FALSE;
    record->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                      LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    FileHandle* record = findHandle(file);
    if (record == nullptr) return failWith(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) return failWith(ERROR_INVALID_PARAMETER);
    if (!record->writable) return failWith(ERROR_ACCESS_DENIED);
    // The descriptor stays blocking for others; the wait is bounded here.
    const int flags = fcntl(record->fd, F_GETFL);
    if (flags < 0 || fcntl(record->fd, F_SETFL, flags | O_NONBLOCK) != 0) return failWithErrno();
    DWORD written = 0;
    const long long total = (long long)record->timeouts.WriteTotalTimeoutMultiplier * bytesToWrite +
                            record->timeouts.WriteTotalTimeoutConstant;
    const long long deadline = total == 0 ? NO_DEADLINE : monotonicMs() + total;
    const BOOL ok = writeAll(record->fd, static_cast<const char*>(buffer), bytesToWrite, written, deadline);
    const DWORD error = GetLastError();
    fcntl(record->fd, F_SETFL, flags);
    SetLastError(error);
    if (bytesWritten != nullptr) *bytesWritten = written;
    return ok;
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    FileHandle* record = findHandle(file);
    if (record == nullptr) return failWith(ERROR_INVALID_HANDLE);
    termios tio;
    if (!readTermios(record->fd, tio)) return FALSE;
    if (errors != nullptr) *errors = 0;
    if (status == nullptr) return TRUE;
    *status = COMSTAT{};
    int queued = 0;
    if (ioctl(record->fd, TIOCOUTQ, &queued) == 0 && queued > 0) status->cbOutQue = DWORD(queued);
    queued = 0;
    if (ioctl(record->fd, TIOCINQ, &queued) == 0 && queued > 0) status->cbInQue = DWORD(queued);
    int lines = 0;  // a pseudo-terminal has no modem lines: the ioctl fails
    if ((tio.c_cflag & CRTSCTS) && ioctl(record->fd, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS))
        status->fCtsHold = 1;
    return TRUE;
}
