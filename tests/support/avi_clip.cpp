#include "tests/support/avi_clip.h"

#include <algorithm>
#include <cstdio>

namespace testsupport {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
void putTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }
void patch32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
}
// Opens a chunk or list; returns where its size goes.
size_t open(std::vector<uint8_t>& out, const char* tag, const char* listType = nullptr) {
    putTag(out, tag);
    const size_t at = out.size();
    put32(out, 0);
    if (listType != nullptr) putTag(out, listType);
    return at;
}
void close(std::vector<uint8_t>& out, size_t at) {
    patch32(out, at, uint32_t(out.size() - at - 4));
    if (out.size() % 2 != 0) out.push_back(0);
}

uint8_t clamp(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

std::vector<uint8_t> toYuy2(const std::vector<uint8_t>& bgr, int width, int height) {
    std::vector<uint8_t> out;
    out.reserve(size_t(width) * 2 * size_t(height));
    for (int row = height - 1; row >= 0; --row) {  // top row first
        const uint8_t* p = bgr.data() + size_t(row) * size_t(width) * 3;
        for (int x = 0; x < width; x += 2, p += 6) {
            int y[2], u = 0, v = 0;
            for (int k = 0; k < 2; ++k) {
                const int b = p[3 * k], g = p[3 * k + 1], r = p[3 * k + 2];
                y[k] = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
                u += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
                v += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
            }
            out.push_back(clamp(y[0]));
            out.push_back(clamp((u + 1) / 2));
            out.push_back(clamp(y[1]));
            out.push_back(clamp((v + 1) / 2));
        }
    }
    return out;
}

}  // namespace

bool writeAviClip(const std::string& path, AviPixels pixels, int width, int height, int framesPerSecond,
                  const std::vector<std::vector<uint8_t>>& frames, uint32_t timeScale) {
    const bool yuy2 = pixels == AviPixels::Yuy2, jpeg = pixels == AviPixels::Jpeg;
    if (width <= 0 || (yuy2 && width % 2 != 0) || height <= 0 || framesPerSecond <= 0) return false;
    const size_t bgrRow = size_t(width) * 3;
    const size_t bgrBytes = bgrRow * size_t(height);
    for (const auto& f : frames) {
        if (f.size() != bgrBytes && !jpeg) return false;
    }
    const size_t storedRow = yuy2 ? size_t(width) * 2 : (bgrRow + 3) / 4 * 4;
    const uint32_t frameBytes = uint32_t(storedRow * size_t(height));
    const char* chunkTag = yuy2 || jpeg ? "00dc" : "00db";
    const char* fourcc = jpeg ? "MJPG" : "YUY2";

    std::vector<uint8_t> out;
    const size_t riff = open(out, "RIFF", "AVI ");
    const size_t hdrl = open(out, "LIST", "hdrl");
    const size_t avih = open(out, "avih");
    put32(out, uint32_t(std::min<uint64_t>(1000000ull * timeScale / uint32_t(framesPerSecond), 0xFFFFFFFF)));
    put32(out, frameBytes * uint32_t(framesPerSecond));
    put32(out, 0);
    put32(out, 0x10);  // has an index
    put32(out, uint32_t(frames.size()));
    put32(out, 0);
    put32(out, 1);
    put32(out, frameBytes);
    put32(out, uint32_t(width));
    put32(out, uint32_t(height));
    for (int i = 0; i < 4; ++i) put32(out, 0);
    close(out, avih);
    const size_t strl = open(out, "LIST", "strl");
    const size_t strh = open(out, "strh");
    putTag(out, "vids");
    if (yuy2 || jpeg) {
        putTag(out, fourcc);
    } else {
        put32(out, 0);
    }
    put32(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, timeScale);
    put32(out, uint32_t(framesPerSecond));
    put32(out, 0);
    put32(out, uint32_t(frames.size()));
    put32(out, frameBytes);
    put32(out, 0xFFFFFFFF);
    put32(out, 0);
    put16(out, 0);
    put16(out, 0);
    put16(out, uint32_t(width));
    put16(out, uint32_t(height));
    close(out, strh);
    const size_t strf = open(out, "strf");
    put32(out, 40);
    put32(out, uint32_t(width));
    put32(out, uint32_t(height));
    put16(out, 1);
    put16(out, yuy2 ? 16 : 24);
    if (yuy2 || jpeg) {
        putTag(out, fourcc);
    } else {
        put32(out, 0);
    }
    put32(out, frameBytes);
    for (int i = 0; i < 4; ++i) put32(out, 0);
    close(out, strf);
    close(out, strl);
    close(out, hdrl);

    const size_t movi = open(out, "LIST", "movi");
    const size_t moviTag = movi + 4;
    std::vector<uint32_t> offsets;
    for (const auto& f : frames) {
        offsets.push_back(uint32_t(out.size() - moviTag));
        const size_t chunk = open(out, chunkTag);
        if (jpeg) {
            out.insert(out.end(), f.begin(), f.end());
        } else if (yuy2) {
            const std::vector<uint8_t> y = toYuy2(f, width, height);
            out.insert(out.end(), y.begin(), y.end());
        } else {
            for (size_t row = 0; row < size_t(height); ++row) {
                out.insert(out.end(), f.begin() + long(row * bgrRow), f.begin() + long((row + 1) * bgrRow));
                out.insert(out.end(), storedRow - bgrRow, uint8_t(0));
            }
        }
        close(out, chunk);
    }
    close(out, movi);
    const size_t idx1 = open(out, "idx1");
    for (size_t i = 0; i < offsets.size(); ++i) {
        putTag(out, chunkTag);
        put32(out, 0x10);  // key frame
        put32(out, offsets[i]);
        put32(out, jpeg ? uint32_t(frames[i].size()) : frameBytes);
    }
    close(out, idx1);
    close(out, riff);

    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace testsupport
