// gdi32: device contexts on in-memory framebuffers, the DIB copy, pixels and
// brushes. FillRect (user32 on Windows) lives here beside the brushes.
#include <algorithm>
#include <cstdint>
#include <set>

#include "platform/linux/gdi_internal.h"
#include "platform/linux/stand_in.h"
#include "tracking/vector_instructions.h"

struct HDC__ {
    standin::Framebuffer* target = nullptr;
    bool ownsTarget = false;
    RECT clip{};
};

struct HBRUSH__ {
    COLORREF colour = 0;
};

namespace {

std::set<HDC> liveDeviceContexts;
std::set<HBRUSH> liveBrushes;

// The one system colour the program paints with: its window class's
// background, the scroll-bar grey of Windows' default scheme.
constexpr COLORREF SCROLLBAR_COLOUR = RGB(200, 200, 200);

int clampSide(int side) { return std::clamp(side, 0, standin::MAX_SURFACE_SIDE); }

// count 24-bit pixels (blue, green, red) to framebuffer pixels 0x00RRGGBB:
// in memory, each three bytes followed by a zero byte.
void widenPixels(const uint8_t* in, uint32_t* out, int64_t count) {
    for (int64_t x = 0; x < count; ++x, in += 3) out[x] = (uint32_t(in[2]) << 16) | (uint32_t(in[1]) << 8) | in[0];
}

#if defined(KESTROVA_SSSE3)
// The same, eight pixels a step. A step reads 28 bytes for its 24 (two
// 16-byte loads of four pixels each), so the steps stop while fewer than 10
// pixels remain, and those go one by one.
__attribute__((target("ssse3"))) void widenPixelsSsse3(const uint8_t* in, uint32_t* out, int64_t count) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    int64_t x = 0;
    for (; count - x >= 10; x += 8, in += 24) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_shuffle_epi8(a, spread));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x + 4), _mm_shuffle_epi8(b, spread));
    }
    widenPixels(in, out + x, count - x);
}
#endif

void widenRow(const uint8_t* in, uint32_t* out, int64_t count) {
#if defined(KESTROVA_SSSE3)
    if (processorHasSsse3()) return widenPixelsSsse3(in, out, count);
#endif
    widenPixels(in, out, count);
}

}  // namespace

namespace standin {

void Framebuffer::resize(int newWidth, int newHeight, uint32_t fill) {
    newWidth = clampSide(newWidth);
    newHeight = clampSide(newHeight);
    if (newWidth == width && newHeight == height) return;
    std::vector<uint32_t> next(size_t(newWidth) * size_t(newHeight), fill);
    const int keepWidth = std::min(width, newWidth), keepHeight = std::min(height, newHeight);
    for (int y = 0; y < keepHeight; ++y) {
        std::copy_n(pixels.begin() + ptrdiff_t(y) * width, keepWidth, next.begin() + ptrdiff_t(y) * newWidth);
    }
    pixels.swap(next);
    width = newWidth;
    height = newHeight;
}

RECT intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    if (isEmpty(r)) r = RECT{0, 0, 0, 0};
    return r;
}

HDC createDeviceContext(Framebuffer* target, const RECT& clip) {
    HDC hdc = new HDC__;
    hdc->target = target;
    hdc->clip = clip;
    liveDeviceContexts.insert(hdc);
    return hdc;
}

void deleteDeviceContext(HDC hdc) {
    if (liveDeviceContexts.erase(hdc) == 0) return;
    if (hdc->ownsTarget) delete hdc->target;
    delete hdc;
}

void deleteDeviceContextsOf(const Framebuffer* target) {
    for (auto it = liveDeviceContexts.begin(); it != liveDeviceContexts.end();) {
        HDC hdc = *it;
        if (hdc->target == target) {
            it = liveDeviceContexts.erase(it);
            if (hdc->ownsTarget) delete hdc->target;
            delete hdc;
        } else {
            ++it;
        }
    }
}

bool isDeviceContext(HDC hdc) { return hdc != nullptr && liveDeviceContexts.count(hdc) != 0; }

Framebuffer* targetOf(HDC hdc) { return isDeviceContext(hdc) ? hdc->target : nullptr; }

RECT drawableArea(HDC hdc) {
    if (!isDeviceContext(hdc)) return RECT{0, 0, 0, 0};
    return intersect(hdc->clip, RECT{0, 0, hdc->target->width, hdc->target->height});
}

bool brushColour(HBRUSH brush, COLORREF* colour) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(brush);
    if (value == COLOR_SCROLLBAR + 1) {
        *colour = SCROLLBAR_COLOUR;
        return true;
    }
    if (brush == nullptr || liveBrushes.count(brush) == 0) return false;
    *colour = brush->colour;
    return true;
}

void fillPixels(Framebuffer& target, const RECT& area, uint32_t pixel) {
    const RECT r = intersect(area, RECT{0, 0, target.width, target.height});
    for (LONG y = r.top; y < r.bottom; ++y) {
        auto row = target.pixels.begin() + ptrdiff_t(y) * target.width;
        std::fill(row + r.left, row + r.right, pixel);
    }
}

HDC createMemoryDC(int width, int height, COLORREF fill) {
    if (width < 0 || height < 0 || width > MAX_SURFACE_SIDE || height > MAX_SURFACE_SIDE) return nullptr;
    auto* target = new Framebuffer;
    target->resize(width, height, pixelOf(fill));
    HDC hdc = createDeviceContext(target, RECT{0, 0, width, height});
    hdc->ownsTarget = true;
    return hdc;
}

void deleteMemoryDC(HDC hdc) {
    if (isDeviceContext(hdc) && hdc->ownsTarget) deleteDeviceContext(hdc);
}

}  // namespace standin

// Bottom-up 24-bit DIBs only. The bits hold scan lines startScan to
// startScan + scanLines - 1, counted from the bottom of the picture, each row
// padded to a multiple of 4 bytes. Destination row yDest shows DIB row
// ySrc + height - 1, destination row yDest + height - 1 shows DIB row ySrc.
// Reads stay within the scan lines given, and within biSizeImage when the
// header states it.
int WINAPI SetDIBitsToDevice(HDC hdc, int xDest, int yDest, DWORD width, DWORD height, int xSrc, int ySrc,
                             UINT startScan, UINT scanLines, const void* bits, const BITMAPINFO* bmi,
                             UINT colorUse) {
    if (!standin::isDeviceContext(hdc) || bits == nullptr || bmi == nullptr || colorUse != DIB_RGB_COLORS) return 0;
    const BITMAPINFOHEADER& header = bmi->bmiHeader;
    if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biPlanes != 1 || header.biBitCount != 24 ||
        header.biCompression != BI_RGB || header.biWidth <= 0 || header.biHeight <= 0) {
        return 0;
    }
    const int64_t dibWidth = header.biWidth, dibHeight = header.biHeight;
    if (int64_t(startScan) >= dibHeight) return 0;
    const int64_t lines = std::min<int64_t>(scanLines, dibHeight - startScan);
    if (lines <= 0) return 0;
    const int64_t stride = (dibWidth * 3 + 3) / 4 * 4;
    int64_t available = stride * lines;
    if (header.biSizeImage != 0) available = std::min<int64_t>(available, header.biSizeImage);

    const RECT area = standin::drawableArea(hdc);
    standin::Framebuffer& target = *standin::targetOf(hdc);
    const auto* source = static_cast<const uint8_t*>(bits);
    // Device columns whose source column lies inside the DIB and the copy.
    const int64_t xFirst = std::max<int64_t>({area.left, xDest, int64_t(xDest) - xSrc});
    const int64_t xEnd = std::min<int64_t>({area.right, int64_t(xDest) + width, int64_t(xDest) - xSrc + dibWidth});
    const int64_t yFirst = std::max<int64_t>(area.top, yDest);
    const int64_t yEnd = std::min<int64_t>(area.bottom, int64_t(yDest) + height);
    for (int64_t y = yFirst; y < yEnd && xFirst < xEnd; ++y) {
        const int64_t row = int64_t(ySrc) + (int64_t(height) - 1) - (y - yDest);
        if (row < int64_t(startScan) || row >= int64_t(startScan) + lines) continue;
        // The row's first pixel, and as many of the rest as lie whole within
        // what may be read.
        const int64_t offset = (row - startScan) * stride + (int64_t(xSrc) + (xFirst - xDest)) * 3;
        if (offset + 3 > available) continue;
        const int64_t count = std::min(xEnd - xFirst, (available - offset) / 3);
        widenRow(source + offset, target.pixels.data() + y * target.width + xFirst, count);
    }
    return int(lines);
}

COLORREF WINAPI SetPixel(HDC hdc, int x, int y, COLORREF color) {
    const RECT area = standin::drawableArea(hdc);
    if (x < area.left || x >= area.right || y < area.top || y >= area.bottom) return CLR_INVALID;
    standin::Framebuffer& target = *standin::targetOf(hdc);
    target.pixels[size_t(y) * size_t(target.width) + size_t(x)] = standin::pixelOf(color & 0xFFFFFFu);
    return color & 0xFFFFFFu;
}

COLORREF WINAPI GetPixel(HDC hdc, int x, int y) {
    const RECT area = standin::drawableArea(hdc);
    if (x < area.left || x >= area.right || y < area.top || y >= area.bottom) return CLR_INVALID;
    const standin::Framebuffer& target = *standin::targetOf(hdc);
    return standin::colourOf(target.pixels[size_t(y) * size_t(target.width) + size_t(x)]);
}

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
    HBRUSH brush = new HBRUSH__;
    brush->colour = color & 0xFFFFFFu;
    liveBrushes.insert(brush);
    return brush;
}

// Only brushes made by CreateSolidBrush can be deleted; anything else,
// system colour brushes included, is refused.
BOOL WINAPI DeleteObject(HGDIOBJ object) {
    HBRUSH brush = static_cast<HBRUSH>(object);
    if (object == nullptr || liveBrushes.erase(brush) == 0) return FALSE;
    delete brush;
    return TRUE;
}

// Right and bottom edges excluded; an empty or inverted rectangle fills nothing.
int WINAPI FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    COLORREF colour = 0;
    if (!standin::isDeviceContext(hdc) || rect == nullptr || !standin::brushColour(brush, &colour)) return 0;
    standin::fillPixels(*standin::targetOf(hdc), standin::intersect(*rect, standin::drawableArea(hdc)),
                        standin::pixelOf(colour));
    return 1;
}
