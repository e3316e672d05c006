// The stand-in's device contexts and brushes, shared by the libraries of this
// folder.
//
// A device context draws into a framebuffer held in memory: 32 bits per
// pixel, 0x00RRGGBB (SDL_PIXELFORMAT_RGB888), rows top-down without padding.
// Windows keep theirs and show it on EndPaint; a memory device context owns
// one of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace standin {

// Limit of a framebuffer side; larger requests are clamped to it.
constexpr int MAX_SURFACE_SIDE = 8192;

struct Framebuffer {
    std::vector<uint32_t> pixels;
    int width = 0;
    int height = 0;

    // New size, sides clamped to 0..MAX_SURFACE_SIDE; what was inside both
    // the old and the new size stays, the rest becomes fill.
    void resize(int newWidth, int newHeight, uint32_t fill);
};

// COLORREF is 0x00BBGGRR; a framebuffer pixel is 0x00RRGGBB.
inline uint32_t pixelOf(COLORREF colour) {
    return ((colour & 0xFFu) << 16) | (colour & 0xFF00u) | ((colour >> 16) & 0xFFu);
}
inline COLORREF colourOf(uint32_t pixel) {
    return ((pixel & 0xFFu) << 16) | (pixel & 0xFF00u) | ((pixel >> 16) & 0xFFu);
}

// A device context onto target, drawing only inside clip (and the target).
HDC createDeviceContext(Framebuffer* target, const RECT& clip);
void deleteDeviceContext(HDC hdc);
// Deletes every device context drawing onto target, before target goes.
void deleteDeviceContextsOf(const Framebuffer* target);
bool isDeviceContext(HDC hdc);

// The colour a brush paints with: a solid brush, or the system colour brush
// COLOR_SCROLLBAR + 1. False for anything else.
bool brushColour(HBRUSH brush, COLORREF* colour);

// The area of the device context drawing may touch: its clip rectangle within
// its target. Empty for an unknown device context.
RECT drawableArea(HDC hdc);
Framebuffer* targetOf(HDC hdc);

// Fills area, clipped to the framebuffer; right and bottom edges excluded.
void fillPixels(Framebuffer& target, const RECT& area, uint32_t pixel);

RECT intersect(const RECT& a, const RECT& b);
inline bool isEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

// UTF-8 of at most length wide characters, stopping at a zero; code points
// that are not Unicode scalar values become U+FFFD.
std::string toUtf8(const wchar_t* text, size_t length);

// Closes the font DrawTextW opened, if any.
void closeFonts();

}  // namespace standin
