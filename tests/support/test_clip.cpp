#include "tests/support/test_clip.h"

#include <cstdint>
#include <fstream>

namespace test_clip {

namespace {

class Writer {
public:
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
    }
    void u16(uint16_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    void tag(const char* t) { bytes.insert(bytes.end(), t, t + 4); }
    // Starts a chunk (or a LIST/RIFF with its type); returns where its size goes.
    size_t open(const char* id, const char* type = nullptr) {
        tag(id);
        const size_t at = bytes.size();
        u32(0);
        if (type != nullptr) tag(type);
        return at;
    }
    void close(size_t at) {
        if (bytes.size() % 2 != 0) bytes.push_back(0);
        const uint32_t size = uint32_t(bytes.size() - at - 4);
        for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(size >> (8 * i));
    }
    std::vector<uint8_t> bytes;
};

}  // namespace

bool writeBallClip(const std::string& path, int width, int height, int fps, int radius,
                   const std::vector<BallAt>& balls) {
    const uint32_t rowBytes = (uint32_t(width) * 3 + 3) / 4 * 4;
    const uint32_t frameBytes = rowBytes * uint32_t(height);
    const uint32_t frames = uint32_t(balls.size());
    Writer w;
    const size_t riff = w.open("RIFF", "AVI ");
    const size_t hdrl = w.open("LIST", "hdrl");
    const size_t avih = w.open("avih");
    w.u32(1000000u / uint32_t(fps));  // microseconds per frame
    w.u32(frameBytes * uint32_t(fps));
    w.u32(0);
    w.u32(0x10);  // AVIF_HASINDEX
    w.u32(frames);
    w.u32(0);
    w.u32(1);  // streams
    w.u32(frameBytes);
    w.u32(uint32_t(width));
    w.u32(uint32_t(height));
    for (int i = 0; i < 4; ++i) w.u32(0);
    w.close(avih);
    const size_t strl = w.open("LIST", "strl");
    const size_t strh = w.open("strh");
    w.tag("vids");
    w.u32(0);  // BI_RGB
    w.u32(0);
    w.u16(0);
    w.u16(0);
    w.u32(0);
    w.u32(1);                // scale
    w.u32(uint32_t(fps));    // rate
    w.u32(0);
    w.u32(frames);
    w.u32(frameBytes);
    w.u32(0xFFFFFFFFu);
    w.u32(0);
    w.u16(0);
    w.u16(0);
    w.u16(uint16_t(width));
    w.u16(uint16_t(height));
    w.close(strh);
    const size_t strf = w.open("strf");  // BITMAPINFOHEADER
    w.u32(40);
    w.u32(uint32_t(width));
    w.u32(uint32_t(height));  // positive: bottom-up rows
    w.u16(1);
    w.u16(24);
    w.u32(0);
    w.u32(frameBytes);
    for (int i = 0; i < 4; ++i) w.u32(0);
    w.close(strf);
    w.close(strl);
    w.close(hdrl);

    std::vector<uint32_t> offsets;
    const size_t movi = w.open("LIST", "movi");
    for (const BallAt& ball : balls) {
        offsets.push_back(uint32_t(w.bytes.size() - movi - 4));
        const size_t chunk = w.open("00db");
        for (int row = height - 1; row >= 0; --row) {  // bottom row first
            for (int x = 0; x < width; ++x) {
                const long dx = x - ball.x, dy = row - ball.y;
                const bool red = dx * dx + dy * dy <= long(radius) * radius;
                w.bytes.push_back(red ? 30 : uint8_t(150 + (x / 8 + row / 8) % 2 * 20));
                w.bytes.push_back(red ? 30 : 130);
                w.bytes.push_back(red ? 220 : 110);
            }
            for (uint32_t pad = uint32_t(width) * 3; pad < rowBytes; ++pad) w.bytes.push_back(0);
        }
        w.close(chunk);
    }
    w.close(movi);
    const size_t idx1 = w.open("idx1");
    for (uint32_t offset : offsets) {
        w.tag("00db");
        w.u32(0x10);  // AVIIF_KEYFRAME
        w.u32(offset);
        w.u32(frameBytes);
    }
    w.close(idx1);
    w.close(riff);

    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(w.bytes.data()), std::streamsize(w.bytes.size()));
    return bool(out);
}

}  // namespace test_clip
