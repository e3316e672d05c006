// Draws Kestrova's icon: two camera lenses side by side below a red ball
// with the green marker on it, on a dark rounded square. One list of shapes
// gives both files the build needs:
//   the Windows icon (.ico): 32-bit images at the sizes Windows shows,
//     drawn with 8x8 samples a pixel;
//   the Linux icon (.svg), for the desktop's icon theme.
// Built and run on the machine that builds (also for the Windows build).
//
//   make_icon <out.ico> <out.svg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// In a square of 100 units, y downwards; later shapes paint over earlier ones.
struct Shape {
    enum Kind { RoundedSquare, Disc, Square } kind;
    double cx, cy;
    double half;    // half the side, or the radius
    double corner;  // corner radius of RoundedSquare
    uint32_t rgb;
};

const Shape shapes[] = {
    {Shape::RoundedSquare, 50, 50, 47, 18, 0x25313B},  // the window
    {Shape::Disc, 50, 34, 17, 0, 0xE53935},            // the target
    {Shape::Square, 50, 34, 6, 0, 0x3CE03C},           // the marker on it
    {Shape::Disc, 28, 75, 14, 0, 0xB0BEC5},            // left camera
    {Shape::Disc, 28, 75, 8, 0, 0x101418},
    {Shape::Disc, 72, 75, 14, 0, 0xB0BEC5},            // right camera
    {Shape::Disc, 72, 75, 8, 0, 0x101418},
};

bool inside(const Shape& s, double x, double y) {
    const double dx = std::fabs(x - s.cx), dy = std::fabs(y - s.cy);
    switch (s.kind) {
        case Shape::Disc:
            return dx * dx + dy * dy <= s.half * s.half;
        case Shape::Square:
            return dx <= s.half && dy <= s.half;
        case Shape::RoundedSquare: {
            if (dx > s.half || dy > s.half) return false;
            const double ex = dx - (s.half - s.corner), ey = dy - (s.half - s.corner);
            return ex <= 0 || ey <= 0 || ex * ex + ey * ey <= s.corner * s.corner;
        }
    }
    return false;
}

// size x size pixels, blue-green-red-alpha, top row first.
std::vector<uint8_t> draw(int size) {
    const int samples = 8;
    std::vector<uint8_t> pixels(size_t(size) * size * 4);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            double b = 0, g = 0, r = 0, a = 0;  // premultiplied sums
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    const double x = (px + (sx + 0.5) / samples) * 100.0 / size;
                    const double y = (py + (sy + 0.5) / samples) * 100.0 / size;
                    const Shape* top = nullptr;
                    for (const Shape& s : shapes)
                        if (inside(s, x, y)) top = &s;
                    if (top == nullptr) continue;
                    b += top->rgb & 0xFF;
                    g += (top->rgb >> 8) & 0xFF;
                    r += (top->rgb >> 16) & 0xFF;
                    a += 1;
                }
            }
            uint8_t* p = &pixels[(size_t(py) * size + px) * 4];
            if (a > 0) {  // colours stay straight (not premultiplied), as icons keep them
                p[0] = uint8_t(std::lround(b / a));
                p[1] = uint8_t(std::lround(g / a));
                p[2] = uint8_t(std::lround(r / a));
            }
            p[3] = uint8_t(std::lround(255.0 * a / (samples * samples)));
        }
    }
    return pixels;
}

void put16(std::string& out, unsigned v) {
    out += char(v & 0xFF);
    out += char((v >> 8) & 0xFF);
}
void put32(std::string& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// One icon image: a bitmap info header for twice the height (colour rows,
// then the mask's), the colour rows bottom-up, and the 1-bit mask, set
// where the picture is fully transparent, rows padded to 32 bits.
std::string iconImage(int size) {
    const std::vector<uint8_t> pixels = draw(size);
    const size_t maskStride = size_t((size + 31) / 32) * 4;
    std::string out;
    put32(out, 40);
    put32(out, uint32_t(size));
    put32(out, uint32_t(size) * 2);
    put16(out, 1);   // planes
    put16(out, 32);  // bits a pixel
    put32(out, 0);   // no compression
    put32(out, uint32_t(pixels.size() + maskStride * size));
    for (int i = 0; i < 4; ++i) put32(out, 0);
    for (int row = size - 1; row >= 0; --row)
        out.append(reinterpret_cast<const char*>(&pixels[size_t(row) * size * 4]), size_t(size) * 4);
    for (int row = size - 1; row >= 0; --row) {
        std::string mask(maskStride, '\0');
        for (int x = 0; x < size; ++x)
            if (pixels[(size_t(row) * size + x) * 4 + 3] == 0) mask[size_t(x / 8)] |= char(0x80 >> (x % 8));
        out += mask;
    }
    return out;
}

std::string icoFile() {
    const int sizes[] = {16, 20, 24, 32, 40, 48, 64, 128};
    const unsigned count = sizeof sizes / sizeof sizes[0];
    std::string header, images;
    put16(header, 0);
    put16(header, 1);  // an icon
    put16(header, count);
    uint32_t offset = 6 + 16 * count;
    for (int size : sizes) {
        const std::string image = iconImage(size);
        header += char(size);  // every size here is below 256
        header += char(size);
        header += '\0';  // no palette
        header += '\0';
        put16(header, 1);
        put16(header, 32);
        put32(header, uint32_t(image.size()));
        put32(header, offset);
        offset += uint32_t(image.size());
        images += image;
    }
    return header + images;
}

std::string svgFile() {
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 100 100\" width=\"128\" height=\"128\">\n";
    char line[200];
    for (const Shape& s : shapes) {
        if (s.kind == Shape::Disc) {
            std::snprintf(line, sizeof line, "  <circle cx=\"%g\" cy=\"%g\" r=\"%g\" fill=\"#%06X\"/>\n", s.cx, s.cy,
                          s.half, unsigned(s.rgb));
        } else {
            std::snprintf(line, sizeof line,
                          "  <rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" rx=\"%g\" fill=\"#%06X\"/>\n",
                          s.cx - s.half, s.cy - s.half, 2 * s.half, 2 * s.half, s.corner, unsigned(s.rgb));
        }
        out += line;
    }
    return out + "</svg>\n";
}

bool write(const char* path, const std::string& data) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <out.ico> <out.svg>\n", argv[0]);
        return 2;
    }
    if (!write(argv[1], icoFile()) || !write(argv[2], svgFile())) {
        std::perror("make_icon");
        return 1;
    }
    return 0;
}
