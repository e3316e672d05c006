// kernel32: the last-error code, and files and serial ports over POSIX
// descriptors and termios.
//
// Handles. A HANDLE is a heap record (descriptor and the device's identity),
// registered in a set; every call looks the handle up there first, so a
// bogus, null or closed handle fails with ERROR_INVALID_HANDLE and is never
// dereferenced. Like the system itself, the handles belong to one thread.
//
// Device names. "COMn" and "\\.\COMn" (n from 1 to 255, any letter case, an
// optional trailing ':') name the device in the environment variable
// KESTROVA_COMn, by default /dev/ttyS<n-1>; a variable that is set but empty
// names no device. A COM port name opens only a terminal device: anything
// else behind it (a regular file, a pipe, a directory) is refused with
// ERROR_FILE_NOT_FOUND before a byte is written, as no COM name on Windows
// opens a file. Any other name is opened as a path.
//
// The terminal has no other way to say what became of a COM port, so the
// calls on one say it on standard error, a line each: which device it is and
// the settings once SetCommState has set them, or the path and the reason
// when opening it, reading or setting its settings fails.
//
// No sharing. Windows refuses a second open of a COM port; here every handle
// is exclusive, whoever the second opener is:
//  - within this process, the registry refuses a second handle to the same
//    device (same device number for character devices, same file otherwise);
//  - in other processes, TIOCEXCL makes the kernel refuse a terminal's open
//    to anyone but root, and flock(LOCK_EX | LOCK_NB) on the descriptor
//    refuses everyone else who opens through this code, root included.
// The second opener gets ERROR_ACCESS_DENIED for a terminal (as for a COM
// port) and ERROR_SHARING_VIOLATION for any other file. CloseHandle ends
// both: it drops the exclusive mode and closes the descriptor, which
// releases the lock.
//
// Line settings. GetCommState reads the DCB from termios. SetCommState
// compares the DCB with what GetCommState reports for the line now and
// changes in termios only what differs, so flow control and the rest stay as
// the port has them unless the DCB asks otherwise. A COM port only knows
// binary transfers, so SetCommState also turns output processing (OPOST) off:
// the bytes written go out exactly as given, with no CR/LF translation. The
// input side is left alone; nothing here reads.
//
// Writes are synchronous and complete. As on Windows, they wait as long as it
// takes unless SetCommTimeouts gave a total write timeout (a freshly opened
// handle has none): then a line that takes no data by then (flow control
// holding it, a far end that stopped reading) fails the write with
// ERROR_TIMEOUT. A write is
// never left half done on the line, where its head would run into whatever
// is written next (for reports with no framing, a half report would shift
// every later one): when the line took only part of it before the time ran
// out, the rest is kept and goes out first, before anything else, as soon as
// the line takes data again. Data the line took nothing of is dropped whole.
// Once a write has timed out, later writes do not wait again until the line
// has taken a whole write: a far end that stays stuck costs each write
// nothing, and a program writing once a second does not stall every second.
//
// At exit every handle still open is given back as CloseHandle does, so a
// program that ends without closing its port leaves no exclusive mode on the
// line (which would keep others out while anyone still holds it open).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>

#include "platform/linux/gdi_internal.h"  // toUtf8
#include "platform/win32.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONE5STOPBITS = 1;
constexpr long long NO_DEADLINE = LLONG_MAX;

struct FileHandle {
    int fd;
    bool terminal;
    bool writable;
    dev_t device;  // device number of a character device, else the file system
    ino_t inode;   // zero for a character device
    std::string unsent;  // the rest of a write the line took only part of
    bool stalled;        // the last write timed out; writes do not wait
    COMMTIMEOUTS timeouts;
    std::string port;  // "COMn" for a COM port name, empty for any other path
    std::string path;  // what was opened
};

std::set<FileHandle*> openHandles;

bool giveBack(FileHandle* record);

struct GiveBackAtExit {
    ~GiveBackAtExit() {
        while (!openHandles.empty()) {
            FileHandle* record = *openHandles.begin();
            openHandles.erase(openHandles.begin());
            giveBack(record);
        }
    }
} giveBackAtExit;

DWORD errorFromErrno(int error) {
    switch (error) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EROFS:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOTTY:
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENXIO:
        case ENODEV: return ERROR_DEVICE_NOT_CONNECTED;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        default: return ERROR_GEN_FAILURE;
    }
}

BOOL failWith(DWORD error) {
    lastError = error;
    return FALSE;
}
BOOL failWithErrno() { return failWith(errorFromErrno(errno)); }

// Reads the line settings; fails with ERROR_NOT_SUPPORTED for a handle that
// is no serial line.
bool readTermios(int fd, termios& tio) {
    if (tcgetattr(fd, &tio) == 0) return true;
    failWith(errno == ENOTTY || errno == EINVAL ? ERROR_NOT_SUPPORTED : errorFromErrno(errno));
    return false;
}

FileHandle* findHandle(HANDLE handle) {
    auto* record = static_cast<FileHandle*>(handle);
    return openHandles.count(record) != 0 ? record : nullptr;
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

// Wide name to UTF-8; false for a name holding a value that is no Unicode
// character (a path must not have it silently replaced).
bool toUtf8(LPCWSTR text, std::string& out) {
    const size_t length = std::wcslen(text);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t c = uint32_t(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    out = standin::toUtf8(text, length);
    return true;
}

// The port number of "COMn", "COMn:", "\\.\COMn"; 0 for any other name.
int comPortNumber(LPCWSTR name) {
    if (name[0] == L'\\' && name[1] == L'\\' && name[2] == L'.' && name[3] == L'\\') name += 4;
    const auto upper = [](WCHAR c) { return c >= L'a' && c <= L'z' ? WCHAR(c - L'a' + L'A') : c; };
    if (upper(name[0]) != L'C' || upper(name[1]) != L'O' || upper(name[2]) != L'M') return 0;
    name += 3;
    if (*name < L'1' || *name > L'9') return 0;
    int number = 0;
    for (; *name >= L'0' && *name <= L'9'; ++name) {
        number = number * 10 + int(*name - L'0');
        if (number > 255) return 0;
    }
    if (*name == L':') ++name;
    return *name == 0 ? number : 0;
}

// A line on standard error about a COM port; nothing for other files.
void sayAboutPort(const std::string& port, const std::string& text) {
    if (!port.empty()) std::fprintf(stderr, "%s: %s\n", port.c_str(), text.c_str());
}

// The path a name opens; false when the name names nothing.
bool devicePath(LPCWSTR name, std::string& path) {
    if (const int port = comPortNumber(name)) {
        const std::string variable = "KESTROVA_COM" + std::to_string(port);
        if (const char* value = std::getenv(variable.c_str())) {
            path = value;
            return !path.empty();
        }
        path = "/dev/ttyS" + std::to_string(port - 1);
        return true;
    }
    return toUtf8(name, path) && !path.empty();
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

// Writes all of data to fd (non-blocking) by the deadline; written counts
// what went out, also when it fails.
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
            if (deadline != NO_DEADLINE && left <= 0) return failWith(ERROR_TIMEOUT);
            pollfd waitFor{fd, POLLOUT, 0};
            const int ready = poll(&waitFor, 1, int(std::min<long long>(left, INT_MAX)));
            if (ready > 0) break;  // writable, or an error the next write reports
            if (ready < 0 && errno != EINTR) return failWithErrno();
        }
    }
    return TRUE;
}

// Writes what is left of an earlier write, then data, by the deadline (see
// the top of this file).
BOOL writeWhole(FileHandle* record, const char* data, DWORD size, DWORD& written, long long deadline) {
    if (!record->unsent.empty()) {
        DWORD done = 0;
        const BOOL ok = writeAll(record->fd, record->unsent.data(), DWORD(record->unsent.size()), done, deadline);
        record->unsent.erase(0, done);
        if (!ok) {
            if (lastError == ERROR_TIMEOUT) {
                record->stalled = true;
            } else {
                record->unsent.clear();  // the line is broken; nothing more goes out
            }
            return FALSE;
        }
    }
    if (writeAll(record->fd, data, size, written, deadline)) {
        record->stalled = false;
        return TRUE;
    }
    if (lastError == ERROR_TIMEOUT) {
        record->stalled = true;
        if (written > 0) record->unsent.assign(data + written, size - written);
    }
    return FALSE;
}

// Closes the descriptor and frees the record, which must be out of the
// registry already; false when close reported an error (errno). What is
// left of a half-written write goes out if the line takes it at once.
bool giveBack(FileHandle* record) {
    if (!record->unsent.empty()) {
        const int flags = fcntl(record->fd, F_GETFL);
        DWORD done = 0;
        if (flags >= 0 && fcntl(record->fd, F_SETFL, flags | O_NONBLOCK) == 0)
            writeAll(record->fd, record->unsent.data(), DWORD(record->unsent.size()), done, monotonicMs());
    }
    if (record->terminal) ioctl(record->fd, TIOCNXCL);
    const int result = close(record->fd);
    const int error = errno;
    delete record;
    errno = error;
    return result == 0 || error == EINTR;
}

}  // namespace

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD error) { lastError = error; }

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD creation,
                          DWORD, HANDLE) {
    (void)shareMode;  // never shared; see above
    if (fileName == nullptr) {
        failWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING) {
        failWith(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    std::string path;
    const int portNumber = comPortNumber(fileName);
    const std::string port = portNumber != 0 ? "COM" + std::to_string(portNumber) : std::string();
    if (!devicePath(fileName, path)) {
        sayAboutPort(port, "KESTROVA_" + port + " is set but empty, so it names no device");
        failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (access & GENERIC_READ) != 0, writes = (access & GENERIC_WRITE) != 0;
    const int mode = writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
    // Non-blocking, so that a modem line (carrier detect) cannot hold the open.
    const int fd = open(path.c_str(), mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        sayAboutPort(port, "cannot open " + path + ": " + std::strerror(errno));
        failWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    const auto fail = [&](DWORD error, const char* why) {
        sayAboutPort(port, "cannot open " + path + ": " + why);
        close(fd);
        failWith(error);
        return INVALID_HANDLE_VALUE;
    };
    struct stat info;
    if (fstat(fd, &info) != 0) return fail(errorFromErrno(errno), std::strerror(errno));
    const bool terminal = isatty(fd) != 0;
    if (!port.empty() && !terminal) return fail(ERROR_FILE_NOT_FOUND, "not a serial device (no terminal)");
    const DWORD refused = terminal ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    const bool character = S_ISCHR(info.st_mode);
    const dev_t device = character ? info.st_rdev : info.st_dev;
    const ino_t inode = character ? 0 : info.st_ino;
    for (const FileHandle* other : openHandles)
        if (other->device == device && other->inode == inode) return fail(refused, "already open here");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? refused : errorFromErrno(errno),
                    errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno));
    if (terminal) ioctl(fd, TIOCEXCL);  // best effort: the lock above already holds
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(errorFromErrno(errno), std::strerror(errno));
    auto* record = new FileHandle{fd, terminal, writes, device, inode, std::string(), false, COMMTIMEOUTS{}, port, path};
    openHandles.insert(record);
    return record;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    FileHandle* record = findHandle(handle);
    if (record == nullptr) return failWith(ERROR_INVALID_HANDLE);
    openHandles.erase(record);
    // The descriptor is gone whatever close reports.
    return giveBack(record) ? TRUE : failWithErrno();
}

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
    FileHandle* record = settingsHandle(file, dcb);
    if (record == nullptr) return FALSE;
    termios tio;
    if (!readTermios(record->fd, tio)) {
        sayAboutPort(record->port, "cannot read the line settings of " + record->path + ": " + std::strerror(errno));
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
        sayAboutPort(record->port, "cannot set " + describeLine(*dcb) + " on " + record->path + ": " +
                                       (error != 0 ? std::strerror(error) : "the device does not take it"));
        return FALSE;
    }
    sayAboutPort(record->port, record->path + " at " + describeLine(*dcb));
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
    const long long deadline = total == 0 ? NO_DEADLINE : monotonicMs() + (record->stalled ? 0 : total);
    const BOOL ok = writeWhole(record, static_cast<const char*>(buffer), bytesToWrite, written, deadline);
    const DWORD error = lastError;
    fcntl(record->fd, F_SETFL, flags);
    lastError = error;
    if (bytesWritten != nullptr) *bytesWritten = written;
    return ok;
}
