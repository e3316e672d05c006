// The stand-in's window object, shared by the libraries of this folder.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

struct HWND__ {
    WNDPROC proc = nullptr;
    HWND parent = nullptr;
    std::vector<HWND> children;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{};  // outer rectangle: screen coordinates, or the parent's client coordinates for a child
    std::wstring className;
    std::wstring title;
    UINT_PTR id = 0;
    // Set by the library that made the window and told of its destruction,
    // after WM_DESTROY has been sent, to release what it keeps for it.
    void* extra = nullptr;
    void (*release)(HWND) = nullptr;
};

namespace standin {

// Makes a window object with its own procedure, registered as a child of
// parent when there is one. Sends no creation messages.
HWND createWindowObject(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style,
                        int x, int y, int width, int height, HWND parent, UINT_PTR id, WNDPROC proc);

}  // namespace standin
