#include "display/camera_view.h"

#include <cstring>
#include <vector>

#include "tracking/camera_slot.h"

namespace {

// Copies a slot image to the device, its top-left corner at the origin.
// Device-independent bitmap rows are padded to 4 bytes while the slot's rows
// are packed; for the rare width that is not a multiple of 4 the rows are
// padded into a scratch copy first, so the copy never reads past the image.
void copyImage(HDC hdc, int xOrigin, int yOrigin, const CameraSlot& slot, const uint8_t* image,
               const BITMAPINFO& bmi) {
    const size_t packedRow = size_t(slot.width) * 3;
    const size_t paddedRow = (packedRow + 3) & ~size_t(3);
    const uint8_t* bits = image;
    static std::vector<uint8_t> padded;
    if (paddedRow != packedRow) {
        padded.assign(paddedRow * size_t(slot.height), 0);
        for (int32_t y = 0; y < slot.height; ++y) {
            std::memcpy(&padded[size_t(y) * paddedRow], image + size_t(y) * packedRow, packedRow);
        }
        bits = padded.data();
    }
    SetDIBitsToDevice(hdc, xOrigin, yOrigin, DWORD(slot.width), DWORD(slot.height), 0, 0, 0, UINT(slot.height),
                      bits, &bmi, DIB_RGB_COLORS);
}

}  // namespace

// The overlay and the marker sit on device row height - 1 - y for image row
// y, the row where the copied picture shows that image row.
void drawCameraView(HDC hdc, int xOrigin, int yOrigin, int slot, int viewMode) {
    if (slot != 0 && slot != 1) return;
    const CameraSlot& s = cameraSlots[slot];
    const uint8_t* raw = usableRawImage(slot);
    // The raw view leaves the work image alone: handing it out may first
    // have to write the pixels the segmentation left to be written.
    const uint8_t* work = viewMode == VIEW_MASK || viewMode == VIEW_OVERLAY ? usableWorkImage(slot) : nullptr;

    BITMAPINFO bmi;
    std::memset(&bmi, 0, sizeof bmi);
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = s.width;
    bmi.bmiHeader.biHeight = s.height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biSizeImage = DWORD(slotImageBytes(slot));
    HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));

    if (viewMode == VIEW_RAW && raw != nullptr) {
        copyImage(hdc, xOrigin, yOrigin, s, raw, bmi);
    } else if (viewMode == VIEW_MASK && work != nullptr) {
        copyImage(hdc, xOrigin, yOrigin, s, work, bmi);
    } else if (viewMode == VIEW_OVERLAY && raw != nullptr && work != nullptr) {
        copyImage(hdc, xOrigin, yOrigin, s, raw, bmi);
        const size_t width = size_t(s.width);
        for (int32_t y = 0; y < s.height; ++y) {
            const uint8_t* row = work + size_t(y) * width * 3;
            for (size_t x = 0; x < width; ++x) {
                if (row[x * 3] < 255) SetPixel(hdc, xOrigin + int(x), yOrigin + s.height - 1 - y, RGB(255, 255, 255));
            }
        }
    }

    const ImagePoint p = s.latestPoint;
    const int markerRow = yOrigin + s.height - 1 - p.y;
    RECT marker = {xOrigin + p.x - 3, markerRow - 3, xOrigin + p.x + 3, markerRow + 3};
    FillRect(hdc, &marker, green);
    DeleteObject(green);
}
