// What the capture windows need of a camera: its frame size and, on each
// grab, the newest frame as 24-bit BGR rows, bottom row first, packed at
// width * 3 bytes.
#pragma once

#include <cstdint>

namespace standin {

enum class GrabResult {
    NewFrame,    // the buffer holds a frame the camera gave since the last grab
    NoNewFrame,  // none came within about one frame interval; the buffer is untouched
    Lost,        // the camera is gone for now; the buffer is untouched
};

class CameraDevice {
public:
    virtual ~CameraDevice() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // bgrBottomUp holds width() * 3 * height() bytes.
    virtual GrabResult grab(uint8_t* bgrBottomUp) = 0;
};

}  // namespace standin
