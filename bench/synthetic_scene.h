// A small deterministic stereo scene for the benchmark and the tests: a red
// ball in front of a textured, noisy background with a few stray red specks,
// seen by two pinhole cameras side by side.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace synthetic {

inline uint32_t hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

inline uint32_t hash(uint32_t a, uint32_t b, uint32_t c) { return hash(a * 0x9E3779B1u ^ hash(b * 0x85EBCA77u ^ hash(c))); }

// Smooth value noise in 0..1 on a grid of `cell` pixels.
inline double valueNoise(double x, double y, double cell, uint32_t seed) {
    const double gx = x / cell, gy = y / cell;
    const double fx = std::floor(gx), fy = std::floor(gy);
    const double tx = gx - fx, ty = gy - fy;
    const uint32_t ix = uint32_t(int32_t(fx)), iy = uint32_t(int32_t(fy));
    auto corner = [&](uint32_t dx, uint32_t dy) { return (hash(ix + dx, iy + dy, seed) & 0xFFFF) / 65535.0; };
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    const double top = corner(0, 0) + (corner(1, 0) - corner(0, 0)) * sx;
    const double bottom = corner(0, 1) + (corner(1, 1) - corner(0, 1)) * sx;
    return top + (bottom - top) * sy;
}

inline uint8_t clampByte(double v) { return v <= 0 ? 0 : v >= 255 ? 255 : uint8_t(v + 0.5); }

// Renders camera 0 (left) or 1 (right) at the given time into a bottom-up
// 24-bit frame (bytes blue, green, red, rows packed at width * 3 bytes).
// The ball, 0.05 m in radius, circles slowly about a point distanceMetres
// ahead of the rig; the cameras are 0.14 m apart with a horizontal half
// field of view of 0.262 rad. Sensor noise changes from frame to frame.
inline void renderFrame(int camera, double timeSeconds, double distanceMetres, int width, int height,
                        uint8_t* bgrBottomUp) {
    if (width <= 0 || height <= 0 || bgrBottomUp == nullptr) return;
    const double focal = (width / 2.0) / std::tan(0.262);
    const double baseline = 0.14, radius = 0.05;
    const double bx = 0.15 * std::cos(timeSeconds * 0.7), by = 0.08 * std::sin(timeSeconds * 1.1);
    const double bz = distanceMetres + 0.2 * std::sin(timeSeconds * 0.3);
    const double camX = camera == 0 ? -baseline / 2 : baseline / 2;
    const double cx = width / 2.0 + focal * (bx - camX) / bz;  // image column of the ball's centre
    const double cy = height / 2.0 - focal * by / bz;          // image row from the top
    const double r = focal * radius / bz;
    const uint32_t frame = uint32_t(int32_t(std::lround(timeSeconds * 25.0))) * 2u + uint32_t(camera & 1);
    const double shift = camera == 0 ? 0.0 : -focal * baseline / 4.0;  // background parallax

    for (int top = 0; top < height; ++top) {
        uint8_t* row = bgrBottomUp + size_t(height - 1 - top) * size_t(width) * 3;
        for (int x = 0; x < width; ++x) {
            const double wx = (x + shift) * 320.0 / width, wy = top * 320.0 / width;  // scene coordinates
            // Wall: grey-brown plaster with large patches and fine grain,
            // darker towards the floor, lit from the upper left.
            const double patch = valueNoise(wx, wy, 40.0, 1), grain = valueNoise(wx, wy, 3.0, 2);
            const double light = 0.65 + 0.35 * (1.0 - double(top) / height) - 0.15 * double(x) / width;
            double b = (95 + 60 * patch + 25 * grain) * light;
            double g = (105 + 55 * patch + 25 * grain) * light;
            double red = (120 + 50 * patch + 25 * grain) * light;
            // A blue poster and a green plant.
            if (wx > 30 && wx < 90 && wy > 30 && wy < 110) {
                b = 150 + 60 * grain;
                g = 80 + 30 * patch;
                red = 40 + 20 * grain;
            } else if (valueNoise(wx, wy, 18.0, 3) > 0.72 && wy > 150) {
                b = 40 + 30 * grain;
                g = 110 + 60 * patch;
                red = 50 + 25 * grain;
            }
            // The ball: shaded red with a highlight.
            const double dx = x - cx, dy = top - cy, dd = dx * dx + dy * dy;
            if (dd <= r * r) {
                const double nz = std::sqrt(1.0 - dd / (r * r));
                const double shade = 0.35 + 0.65 * std::fmax(0.0, 0.5 * nz - 0.35 * dx / r - 0.35 * dy / r + 0.3);
                const double highlight = std::pow(std::fmax(0.0, nz * 0.8 - 0.3 * dx / r - 0.3 * dy / r), 12.0);
                b = 25 * shade + 200 * highlight;
                g = 20 * shade + 200 * highlight;
                red = 230 * shade + 25 * highlight;
            }
            // Stray red specks of one or two pixels.
            const uint32_t cellX = uint32_t(wx / 23.0), cellY = uint32_t(wy / 23.0);
            const uint32_t speck = hash(cellX, cellY, 7);
            if ((speck & 63) == 0 && uint32_t(wx) % 23 == (speck >> 8) % 22 && uint32_t(wy) % 23 == (speck >> 16) % 22) {
                b = 30;
                g = 25;
                red = 210;
            }
            // Sensor noise, about +-8 in each channel.
            const uint32_t n = hash(uint32_t(x), uint32_t(top), frame);
            const double n0 = ((n & 15) + ((n >> 4) & 15)) - 15.0, n1 = (((n >> 8) & 15) + ((n >> 12) & 15)) - 15.0;
            const double n2 = (((n >> 16) & 15) + ((n >> 20) & 15)) - 15.0;
            uint8_t* p = row + size_t(x) * 3;
            p[0] = clampByte(b + n0 * 0.6);
            p[1] = clampByte(g + n1 * 0.6);
            p[2] = clampByte(red + n2 * 0.6);
        }
    }
}

}  // namespace synthetic
