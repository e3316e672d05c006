#include "tests/fake_v4l2/fake_camera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/jpeg_frame.h"

namespace fake_v4l2 {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The picture in RGB, top row first: a grey-blue checked and striped wall
// and a red ball.
std::vector<uint8_t> renderRgb(uint32_t width, uint32_t height, int cx, int cy, int temperature) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    const long r = long(height) / 20 > 2 ? long(height) / 20 : 2;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            const long dx = long(x) - cx, dy = long(y) - cy;
            if (dx * dx + dy * dy <= r * r) {
                p[0] = 220, p[1] = 25, p[2] = 25;
                continue;
            }
            const int check = ((x / 16) + (y / 16)) % 2 != 0 ? 30 : 0;
            const int stripe = int((x * 7 + y * 3) % 23);
            p[0] = uint8_t(70 + check + stripe);
            p[1] = uint8_t(110 + check + stripe);
            p[2] = uint8_t(130 + check + stripe);
        }
    }
    if (temperature > 0) {
        const double red = temperature / 4600.0, blue = 4600.0 / temperature;
        for (size_t i = 0; i < rgb.size(); i += 3) {
            rgb[i] = uint8_t(std::min(255.0, rgb[i] * red + 0.5));
            rgb[i + 2] = uint8_t(std::min(255.0, rgb[i + 2] * blue + 0.5));
        }
    }
    return rgb;
}

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

std::vector<CameraConfig> parseCameras(const char* text) {
    std::vector<CameraConfig> cameras;
    if (text == nullptr) return cameras;
    for (const std::string& entry : split(text, ';')) {
        CameraConfig c;
        for (const std::string& item : split(entry, ',')) {
            const size_t eq = item.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
            if (key == "path") c.path = value;
            if (key == "alias") c.aliases.push_back(value);
            if (key == "fps") c.fps = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
            if (key == "pad") c.pad = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
            if (key == "control") c.control = value;
            if (key == "meta") c.meta = value == "1";
            if (key == "fault") c.fault = value;
            if (key == "bandwidth") c.bandwidth = std::strtoull(value.c_str(), nullptr, 10);
            if (key == "controls") c.controls = value;
            if (key == "awbspeed") c.awbSpeed = std::strtod(value.c_str(), nullptr);
            if (key == "record") c.record = value;
            if (key == "card") c.card = value;
            if (key == "firstframe") c.firstFrameMs = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
            if (key == "formats") {
                for (const std::string& f : split(value, '+')) {
                    if (f == "yuyv") c.formats.push_back(V4L2_PIX_FMT_YUYV);
                    if (f == "mjpeg") c.formats.push_back(V4L2_PIX_FMT_MJPEG);
                }
            }
            if (key == "sizes") {
                for (const std::string& s : split(value, '+')) {
                    Size size;
                    if (std::sscanf(s.c_str(), "%ux%u", &size.width, &size.height) == 2) c.sizes.push_back(size);
                }
            }
        }
        if (c.formats.empty()) c.formats.push_back(V4L2_PIX_FMT_YUYV);
        if (c.sizes.empty()) c.sizes.push_back(Size{640, 480});
        if (c.fps == 0) c.fps = 30;
        if (!c.path.empty()) cameras.push_back(c);
    }
    return cameras;
}

// BT.601 limited range, as UVC cameras send YUYV.
void renderYuyv(uint32_t width, uint32_t height, uint32_t bytesPerLine, int x, int y, uint8_t* out,
                int temperature) {
    const std::vector<uint8_t> rgb = renderRgb(width, height, x, y, temperature);
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t* line = out + size_t(row) * bytesPerLine;
        std::memset(line, 0x10, bytesPerLine);
        for (uint32_t col = 0; col + 1 < width; col += 2) {
            const uint8_t* p = &rgb[(size_t(row) * width + col) * 3];
            int ys[2], us = 0, vs = 0;
            for (int k = 0; k < 2; ++k) {
                const int r = p[k * 3], g = p[k * 3 + 1], b = p[k * 3 + 2];
                ys[k] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
                us += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
                vs += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
            }
            line[col * 2] = clampByte(ys[0]);
            line[col * 2 + 1] = clampByte(us / 2);
            line[col * 2 + 2] = clampByte(ys[1]);
            line[col * 2 + 3] = clampByte(vs / 2);
        }
    }
}

std::vector<uint8_t> renderMjpeg(uint32_t width, uint32_t height, int x, int y, int temperature) {
    const std::vector<uint8_t> rgb = renderRgb(width, height, x, y, temperature);
    return testsupport::encodeJpeg(rgb.data(), int(width), int(height), 90, testsupport::JpegChroma::Yuv420);
}

}  // namespace fake_v4l2
