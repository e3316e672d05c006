// What kernel32.cpp (handles, opening and closing, the last error) and
// kernel32_comm.cpp (the serial calls) share. Only the stand-in includes it.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/win32.h"

namespace standin {

// An open file or device behind a HANDLE.
struct FileHandle {
    int fd;
    bool terminal;
    bool writable;
    dev_t device;  // device number of a character device, else the file system
    ino_t inode;   // zero for a character device
    COMMTIMEOUTS timeouts;
    std::string port;  // "COMn" for a COM port name, empty for any other path
    std::string path;  // what was opened
};

// A line on standard error about a COM port ("COM1: text"); nothing for a
// handle opened by another name.
void sayAboutPort(const std::string& port, const std::string& text);

// The open file behind a handle; null for a bogus, null or closed handle,
// which is never dereferenced.
FileHandle* findHandle(HANDLE handle);

// Set the last error (Windows' code for errno) and return FALSE.
BOOL failWith(DWORD error);
BOOL failWithErrno();
DWORD errorFromErrno(int error);

}  // namespace standin
