// The simulated stereo rig. The scene: a brick wall 6 m away, a red ball
// (lit from the upper left) in front of it, sensor noise on every pixel and
// a few stray red pixels. Everything is computed from the arguments alone.
#include "platform/avicap32/stereo_rig.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace standin {

namespace {

constexpr double kWallDistance = 6.0;
constexpr double kBrickWidth = 0.30;
constexpr double kBrickHeight = 0.12;
constexpr double kMortar = 0.012;
constexpr double kPi = 3.14159265358979323846;

uint64_t mix64(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t nextRandom(uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

double cameraOffset(int camera, const SimulatedRig& rig) {
    return camera == 0 ? -rig.baseline / 2.0 : rig.baseline / 2.0;
}

// How far the camera is turned about the vertical axis, towards +x (right):
// the left camera inward to the right, the right one to the left.
double cameraYaw(int camera, const SimulatedRig& rig) { return camera == 0 ? rig.toeIn : -rig.toeIn; }

// A rig point in the camera's own frame: x to its right, y up, z along its
// axis.
RigPoint toCamera(int camera, const RigPoint& point, const SimulatedRig& rig) {
    const double px = point.x - cameraOffset(camera, rig), pz = point.z;
    const double yaw = cameraYaw(camera, rig);
    if (yaw == 0.0) return RigPoint{px, point.y, pz};
    const double c = std::cos(yaw), s = std::sin(yaw);
    return RigPoint{px * c - pz * s, point.y, px * s + pz * c};
}

// A channel of the ball at the given light level: the colour's own share
// of the level, and an eighth of it where the colour has none.
int ballChannel(int level, uint32_t colour, int shift) {
    const int c = int((colour >> shift) & 0xFF);
    return (level * c + level / 8 * (255 - c)) / 255;
}

// v as an int within [lo, hi]; NaN gives lo.
int clampToInt(double v, int lo, int hi) {
    if (!(v >= double(lo))) return lo;
    if (v >= double(hi)) return hi;
    return int(v);
}

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// Pixel rows or columns [first, last] whose centres may see the ball, along
// one image axis: a is the ball centre's offset across that axis, z its depth
// (z > radius). The ball's projection onto the (a, z) plane is a disc, so the
// extreme slopes a/z over the ball are tan(phi -/+ beta). False when no pixel
// can see it.
bool ballSpan(double a, double z, double focal, double centre, int limit, int& first, int& last) {
    const double phi = std::atan2(a, z);
    const double beta = std::asin(kRigBallRadius / std::hypot(a, z));
    const double low = phi - beta, high = phi + beta;
    const double lowPx = low <= -kPi / 2 ? -std::numeric_limits<double>::infinity() : centre + focal * std::tan(low);
    const double highPx = high >= kPi / 2 ? std::numeric_limits<double>::infinity() : centre + focal * std::tan(high);
    if (!(highPx >= -1.0) || !(lowPx <= double(limit) + 1.0)) return false;
    first = clampToInt(std::floor(lowPx - 0.5) - 1.0, 0, limit - 1);
    last = clampToInt(std::ceil(highPx - 0.5) + 1.0, 0, limit - 1);
    return first <= last;
}

struct Box {
    int x0, y0, x1, y1;  // inclusive; empty when x0 > x1
};

// The ball, drawn where the ray through a pixel's centre meets the sphere.
// Returns the pixel box it may cover (empty when it cannot be seen).
Box drawBall(int camera, const RigPoint& ball, int width, int height, uint64_t seed, const SimulatedRig& rig,
             uint8_t* out) {
    Box box{1, 1, 0, 0};
    if (!std::isfinite(ball.x) || !std::isfinite(ball.y) || !std::isfinite(ball.z)) return box;
    const RigPoint seen = toCamera(camera, ball, rig);
    const double cxBall = seen.x, cyBall = seen.y, czBall = seen.z;
    if (!std::isfinite(cxBall) || !std::isfinite(cyBall) || !std::isfinite(czBall)) return box;
    const double r = kRigBallRadius;
    const double cc = cxBall * cxBall + cyBall * cyBall + czBall * czBall;
    const size_t stride = size_t(width) * 3;

    if (czBall + r <= 0.0) return box;  // entirely behind the camera

    const double f = stereoRigFocalLength(width, rig), cx = width / 2.0, cy = height / 2.0;
    if (czBall > r) {  // wholly in front of the camera
        if (!ballSpan(cxBall, czBall, f, cx, width, box.x0, box.x1)) return Box{1, 1, 0, 0};
        if (!ballSpan(cyBall, czBall, f, cy, height, box.y0, box.y1)) return Box{1, 1, 0, 0};
    } else {  // reaching behind the camera (it stands beside it): test every pixel
        box = Box{0, 0, width - 1, height - 1};
    }

    // Light from the upper left, on the camera's side.
    const double lx = -0.45, ly = 0.55, lz = -0.70;
    const double ln = std::sqrt(lx * lx + ly * ly + lz * lz);
    const double Lx = lx / ln, Ly = ly / ln, Lz = lz / ln;
    const double rr = r * r;

    for (int y = box.y0; y <= box.y1; ++y) {
        const double dy = (y + 0.5 - cy) / f;
        uint64_t state = mix64(seed ^ (uint64_t(uint32_t(y)) << 32) ^ 0xBA11ull) | 1u;
        uint8_t* row = out + size_t(y) * stride;
        for (int x = box.x0; x <= box.x1; ++x) {
            const double dx = (x + 0.5 - cx) / f;
            const double b = cxBall * dx + cyBall * dy + czBall;
            if (b <= 0.0) continue;
            const double dd = dx * dx + dy * dy + 1.0;
            const double disc = b * b - dd * (cc - rr);
            if (disc < 0.0) continue;
            const double t = (b - std::sqrt(disc)) / dd;
            const double nx = (t * dx - cxBall) / r, ny = (t * dy - cyBall) / r, nz = (t - czBall) / r;
            const double lambert = std::fmax(0.0, nx * Lx + ny * Ly + nz * Lz);
            const int level = int(70.0 + 180.0 * (0.3 + 0.7 * lambert));
            const uint64_t n = nextRandom(state);
            uint8_t* p = row + size_t(x) * 3;
            p[0] = clampByte(ballChannel(level, rig.ballColour, 0) + int(n & 7) - 3);
            p[1] = clampByte(ballChannel(level, rig.ballColour, 8) + int((n >> 8) & 7) - 3);
            p[2] = clampByte(ballChannel(level, rig.ballColour, 16) + int((n >> 16) & 7) - 3);
        }
    }
    return box;
}

// The wall: bricks of bluish and greenish greys (never reddish) between dark
// mortar joints, lit a little more from above, with sensor noise.
void drawWall(int camera, int width, int height, uint64_t seed, const SimulatedRig& rig, uint8_t* out) {
    const double f = stereoRigFocalLength(width, rig), cx = width / 2.0, cy = height / 2.0;
    const double camX = cameraOffset(camera, rig);
    const double yaw = cameraYaw(camera, rig);
    const size_t stride = size_t(width) * 3;

    // Per column and brick-row parity (odd rows are offset by half a brick):
    // the brick column, or -1 on a vertical joint; and how far the column's
    // rays travel to the wall per unit of height on the picture (the wall's
    // distance for a camera that faces it, so that rows then cross the wall
    // level and a row is one brick row). Kept between frames so a grab
    // allocates nothing once the size is known.
    static std::vector<int64_t> brickColumn[2];
    static std::vector<double> reach;
    reach.resize(size_t(width));
    for (int parity = 0; parity < 2; ++parity) {
        brickColumn[parity].resize(size_t(width));
        for (int x = 0; x < width; ++x) {
            double wx = 0.0;
            if (yaw == 0.0) {
                wx = camX + (x + 0.5 - cx) / f * kWallDistance + parity * (kBrickWidth / 2.0);
                reach[size_t(x)] = kWallDistance;
            } else {
                // The ray through the column, turned with the camera, to the wall.
                const double dx = (x + 0.5 - cx) / f;
                const double along = std::fmax(1e-6, std::cos(yaw) - dx * std::sin(yaw));
                const double t = kWallDistance / along;
                wx = camX + (dx * std::cos(yaw) + std::sin(yaw)) * t + parity * (kBrickWidth / 2.0);
                reach[size_t(x)] = t;
            }
            const double q = wx / kBrickWidth;
            const double column = std::floor(q);
            const bool joint = (q - column) * kBrickWidth < kMortar;
            brickColumn[parity][size_t(x)] = joint ? -1 : int64_t(column) + (int64_t(1) << 40);
        }
    }

    // Where a point of the wall height wy lies among the brick rows.
    struct BrickRow {
        int64_t index;
        bool joint;
    };
    const auto brickRowAt = [](double wy) {
        const double q = wy / kBrickHeight;
        const double rowIndex = std::floor(q);
        // Far rows of a very tall, narrow frame: keep the index finite and small.
        return BrickRow{int64_t(std::fmax(-1e12, std::fmin(1e12, rowIndex))), (q - rowIndex) * kBrickHeight < kMortar};
    };

    for (int y = 0; y < height; ++y) {
        BrickRow brickRow = brickRowAt((y + 0.5 - cy) / f * kWallDistance);
        const int light = 200 + int(56.0 * (y + 0.5) / height);  // /256

        uint64_t state = mix64(seed ^ uint64_t(uint32_t(y))) | 1u;
        int64_t lastBrick = -2, lastRow = 0;
        int baseB = 0, baseG = 0, baseR = 0;
        uint8_t* p = out + size_t(y) * stride;
        for (int x = 0; x < width; ++x, p += 3) {
            // A turned camera sees the rows of the wall slant.
            if (yaw != 0.0) brickRow = brickRowAt((y + 0.5 - cy) / f * reach[size_t(x)]);
            const int64_t brick = brickRow.joint ? -1 : brickColumn[brickRow.index & 1][size_t(x)];
            if (brick != lastBrick || brickRow.index != lastRow) {
                lastBrick = brick;
                lastRow = brickRow.index;
                if (brick < 0) {
                    baseB = 58;
                    baseG = 60;
                    baseR = 52;
                } else {
                    const uint64_t h = mix64(uint64_t(brick) * 0x100000001B3ull ^ uint64_t(brickRow.index));
                    const int grey = 80 + int(h % 100);
                    baseB = grey + int((h >> 8) % 40);
                    baseG = grey + int((h >> 16) % 30);
                    baseR = grey - int((h >> 24) % 20);
                }
                baseB = baseB * light >> 8;
                baseG = baseG * light >> 8;
                baseR = baseR * light >> 8;
            }
            const uint64_t n = nextRandom(state);
            p[0] = clampByte(baseB + int(n & 15) - 8);
            p[1] = clampByte(baseG + int((n >> 8) & 15) - 8);
            p[2] = clampByte(baseR + int((n >> 16) & 15) - 8);
        }
    }
}

// Single stray red pixels, away from the border and from the ball.
void drawSpecks(int width, int height, uint64_t seed, const Box& ball, uint8_t* out) {
    if (width < 3 || height < 3) return;
    const int count = 3 + int(mix64(seed ^ 0x5BEC5ull) % 4);
    for (int k = 0; k < count; ++k) {
        const uint64_t h = mix64(seed + 0x51ECull * uint64_t(k + 1));
        const int x = 1 + int(h % uint64_t(width - 2));
        const int y = 1 + int((h >> 32) % uint64_t(height - 2));
        if (ball.x0 <= ball.x1 && x >= ball.x0 - 3 && x <= ball.x1 + 3 && y >= ball.y0 - 3 && y <= ball.y1 + 3) {
            continue;
        }
        uint8_t* p = out + (size_t(y) * size_t(width) + size_t(x)) * 3;
        p[0] = 20;
        p[1] = 25;
        p[2] = 210;
    }
}

}  // namespace

RigPoint stereoRigBallPosition(double timeSeconds, double distanceMetres, double secondDistance) {
    if (distanceMetres > 0.0) {
        // Two distances: 5 s at each in turn (NaN or infinite time: the first).
        const bool second = secondDistance > 0.0 && std::fmod(std::fabs(timeSeconds), 10.0) >= 5.0;
        return RigPoint{0.0, 0.0, second ? secondDistance : distanceMetres};
    }
    const double t = timeSeconds;
    const double z = 2.5 + 1.2 * std::sin(0.29 * t) + 0.3 * std::sin(0.83 * t + 1.0);
    const double x = z * (0.19 * std::sin(0.53 * t + 1.0) + 0.05 * std::sin(1.31 * t));
    const double y = z * (0.10 * std::sin(0.41 * t + 2.0) + 0.03 * std::sin(1.07 * t + 0.5));
    return RigPoint{x, y, z};
}

double stereoRigFocalLength(int width, const SimulatedRig& rig) {
    return (width / 2.0) / std::tan(rig.halfFieldOfView);
}

RigImagePoint stereoRigProject(int camera, const RigPoint& point, int width, int height, const SimulatedRig& rig) {
    const RigPoint seen = toCamera(camera, point, rig);
    if (!(seen.z > 0.0)) return RigImagePoint{std::nan(""), std::nan("")};
    const double f = stereoRigFocalLength(width, rig);
    return RigImagePoint{width / 2.0 + f * seen.x / seen.z, height / 2.0 + f * seen.y / seen.z};
}

void renderStereoRigFrame(int camera, double timeSeconds, double distanceMetres, int width, int height,
                          uint8_t* bgrBottomUp, const SimulatedRig& rig, double secondDistance) {
    if (bgrBottomUp == nullptr || width <= 0 || height <= 0 || (camera != 0 && camera != 1)) return;
    uint64_t timeBits;
    std::memcpy(&timeBits, &timeSeconds, sizeof timeBits);
    const uint64_t seed = mix64(timeBits ^ mix64(uint64_t(camera) + 1));

    drawWall(camera, width, height, seed, rig, bgrBottomUp);
    const Box ball = drawBall(camera, stereoRigBallPosition(timeSeconds, distanceMetres, secondDistance), width, height,
                              seed, rig, bgrBottomUp);
    drawSpecks(width, height, seed, ball, bgrBottomUp);
}

}  // namespace standin
