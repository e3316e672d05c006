// kernel32: the last-error code, and files and serial ports over POSIX
// descriptors: opening and closing them here, the serial calls in
// kernel32_comm.cpp.
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
// At exit every handle still open is given back as CloseHandle does, so a
// program that ends without closing its port leaves no exclusive mode on the
// line (which would keep others out while anyone still holds it open).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>

#include "platform/linux/gdi_internal.h"  // toUtf8
#include "platform/linux/kernel32_internal.h"

using standin::FileHandle;

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

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

}  // namespace

namespace standin {

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

FileHandle* findHandle(HANDLE handle) {
    auto* record = static_cast<FileHandle*>(handle);
    return openHandles.count(record) != 0 ? record : nullptr;
}

void sayAboutPort(const std::string& port, const std::string& text) {
    if (!port.empty()) std::fprintf(stderr, "%s: %s\n", port.c_str(), text.c_str());
}

}  // namespace standin

namespace {

using standin::failWith;
using standin::failWithErrno;
using standin::findHandle;
using standin::errorFromErrno;

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

// Closes the descriptor and frees the record, which must be out of the
// registry already; false when close reported an error (errno).
bool giveBack(FileHandle* record) {
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
        standin::sayAboutPort(port, "KESTROVA_" + port + " is set but empty, so it names no device");
        failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (access & GENERIC_READ) != 0, writes = (access & GENERIC_WRITE) != 0;
    const int mode = writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
    // Non-blocking, so that a modem line (carrier detect) cannot hold the open.
    const int fd = open(path.c_str(), mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        standin::sayAboutPort(port, "cannot open " + path + ": " + std::strerror(errno));
        failWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    const auto fail = [&](DWORD error, const char* why) {
        standin::sayAboutPort(port, "cannot open " + path + ": " + why);
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
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(errorFromErrno(errno), std::strerror(errno));
    auto* record = new FileHandle{fd, terminal, writes, device, inode, COMMTIMEOUTS{}, port, path};
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
