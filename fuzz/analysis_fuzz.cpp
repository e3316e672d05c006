// Fuzzes frame intake and the analysis of a tracking tick: slot sizes from
// 0x0 to long thin strips, negative and absurd ones, frames shorter or longer
// than the image or of no bytes at all, size changes between frames, any
// threshold, and the report arithmetic with the distance estimate.
//
// Besides the sanitizers' own checks, every stage is compared with a plain
// transcription of its algorithm kept here, so that a faster implementation
// that differs in a single pixel is a finding too. Both images of each slot
// are followed here as intake and the analysis define them; the work image
// is read only where the commands say, since reading it makes intake's
// deferred copy, which the analysis would otherwise skip.
//
// Input: a run of commands read from the front; bytes missing at the end read
// as 0. Each command byte c selects slot c & 1 and operation (c >> 1) % 7:
//   0 size   kind u8 % 3: 0 small (w u8, h u8); 1 long and thin (long side
//            1 + u32 % max, short side u8 capped, orientation u8 & 1);
//            2 anything (w i32, h i32)
//   1 frame  claim u8 % 6: 0 exact, 1 shorter (u32), 2 longer (u16), 3 none,
//            4 anything (u32), 5 no frame pointer (u32); and after the
//            intake, by (u8 / 6) % 3: 0 nothing, 1 the work image read at
//            once, 2 the speck filter and the centroid alone;
//            pattern: n = u8 % 48, then n bytes, tiled (none: zeros);
//            rectangle: u8 & 1, then x, y, w, h u16 and blue, green, red u8;
//            specks: u8 % 32, then for each a pixel index u32, painted red
//   2 tick   analysis of both slots and the running sums; then, by u8 & 3,
//            the work image of slot 0 (bit 0) and of slot 1 (bit 1) read
//   3 threshold  kind u8: kind & 1 small (u8 - 40), else any i32; with
//            kind & 2 a reference colour follows: u8 < 128 one of eight
//            named ones (u8 % 8), else any (u32 & 0xFFFFFF)
//   4 report the averages of the sums, then the distance estimate
//   5 points the averaged points set to four i32, then the distance estimate
//   6 reset  the slot back to empty
// All integers are little-endian.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "measurement/distance.h"
#include "tracking/camera_slot.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"

namespace {

constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kNamedColours[] = {kRed, 0xFF8000, 0xFFFF00, 0x00FF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// The colour segmentation compares with, red unless the input sets one.
uint32_t reference = kRed;

// Images the fuzzer lets intake really allocate stay at or below this size,
// so an input costs little time and memory. Sizes that intake refuses to
// allocate (above 1 GiB) are tried as well: they cost nothing.
constexpr uint64_t kMaxImageBytes = 1 << 18;
constexpr uint64_t kIntakeLimit = uint64_t(1) << 30;
constexpr int kMaxCommands = 48;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    int32_t i32() { return int32_t(u32()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t count) { return count == 0 || std::memcmp(a, b, count) == 0; }

uint64_t imageBytes(int32_t width, int32_t height) {
    return width <= 0 || height <= 0 ? 0 : uint64_t(width) * 3 * uint64_t(height);
}
uint64_t slotBytes(int slot) { return imageBytes(cameraSlots[slot].width, cameraSlots[slot].height); }

// What each slot's images were allocated with, followed from the outside:
// an image is allocated on the first frame after it was absent.
uint64_t capacity[2];

// What each slot's images must hold, capacity[slot] bytes each.
std::vector<uint8_t> expectedWork[2], expectedRaw[2];

// --- the algorithms, written out plainly --------------------------------------

void referenceNormalise(float c[3]) {
    const double d0 = c[0], d1 = c[1], d2 = c[2];
    const float length = float(std::sqrt(double(float(d0 * d0 + d1 * d1 + d2 * d2))));
    if (length > 0.15f) {
        c[0] = float(d0 / length);
        c[1] = float(d1 / length);
        c[2] = float(d2 / length);
    }
}

void referenceSegment(std::vector<uint8_t>& image, int32_t threshold) {
    float r[3] = {float((reference & 0xFF) / 255.0), float((reference >> 8 & 0xFF) / 255.0),
                  float((reference >> 16 & 0xFF) / 255.0)};
    referenceNormalise(r);
    const float s5 = float(std::sqrt(5.0));
    for (size_t i = 0; i + 2 < image.size(); i += 3) {
        float p[3] = {float(image[i] / 255.0), float(image[i + 1] / 255.0), float(image[i + 2] / 255.0)};
        referenceNormalise(p);
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) sum += (double(p[k]) - double(r[k])) * (double(p[k]) - double(r[k]));
        const float d = float(std::sqrt(double(float(sum))));
        float v = float((double(d) * 255.0) / double(s5));
        if (double(v) > double(threshold)) v = 255.0f;
        image[i] = image[i + 1] = image[i + 2] = uint8_t(int32_t(v));
    }
}

void referenceSpecks(std::vector<uint8_t>& image, int32_t width, int32_t height) {
    const auto background = [&](int64_t x, int64_t y) { return image[size_t((y * width + x) * 3)] == 255; };
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            if (y == 0 || x == 0 || y == height - 1 || x == width - 1) continue;
            const int count = background(x, y + 1) + background(x + 1, y + 1) + background(x + 1, y) +
                              background(x + 1, y - 1) + background(x, y - 1) + background(x - 1, y - 1) +
                              background(x - 1, y) + background(x - 1, y + 1);
            if (count > 4) std::memset(&image[size_t((y * width + x) * 3)], 255, 3);
        }
    }
}

ImagePoint referenceCentroid(const std::vector<uint8_t>& image, int32_t width, int32_t height) {
    int64_t count = 0, sumX = 0, sumY = 0;
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            if (image[size_t((y * width + x) * 3)] < 255) {
                ++count;
                sumX += x;
                sumY += y;
            }
        }
    }
    if (count == 0) return ImagePoint{0, 0};
    return ImagePoint{int32_t(sumX / count), int32_t(sumY / count)};
}

float referenceDistance() {
    const ImagePoint p0 = tracker.averagedPoints[0], p1 = tracker.averagedPoints[1];
    if ((p0.x == 0 && p0.y == 0) || (p1.x == 0 && p1.y == 0) || p0.x == p1.x) return -1.0f;
    const float meanWidth = float((double(cameraSlots[0].width) + double(cameraSlots[1].width)) / 2.0);
    const float disparity = float(std::llabs(int64_t(p0.x) - int64_t(p1.x)));
    const float t = float(std::tan(double(0.262f)));
    return float((double(0.14f) * double(meanWidth)) / (double(t) * (double(disparity) * 2.0)));
}

// --- commands -------------------------------------------------------------------

void chooseSize(Input& in, int slot) {
    int32_t width = 0, height = 0;
    switch (in.u8() % 3) {
        case 0:
            width = in.u8();
            height = in.u8();
            break;
        case 1: {
            const int32_t longSide = int32_t(1 + in.u32() % (kMaxImageBytes / 3));
            const int32_t shortSide = int32_t(in.u8() % (kMaxImageBytes / 3 / uint64_t(longSide) + 1));
            const bool wide = in.u8() & 1;
            width = wide ? longSide : shortSide;
            height = wide ? shortSide : longSide;
            break;
        }
        default: {
            width = in.i32();
            height = in.i32();
            const uint64_t bytes = imageBytes(width, height);
            if (bytes > kMaxImageBytes && bytes <= kIntakeLimit) height = int32_t(kMaxImageBytes / 3 / uint64_t(width));
            break;
        }
    }
    cameraSlots[slot].width = width;
    cameraSlots[slot].height = height;
}

void paintPixel(std::vector<uint8_t>& frame, uint64_t pixel, uint8_t b, uint8_t g, uint8_t r) {
    if (pixel * 3 + 2 >= frame.size()) return;
    frame[pixel * 3] = b;
    frame[pixel * 3 + 1] = g;
    frame[pixel * 3 + 2] = r;
}

void deliverFrame(Input& in, int slot) {
    const uint64_t size = slotBytes(slot);
    const uint64_t maxClaim = UINT32_MAX;
    uint32_t claimed = 0;
    bool noPointer = false;
    const uint8_t claim = in.u8();
    const int afterwards = claim / 6 % 3;
    switch (claim % 6) {
        case 0: claimed = uint32_t(std::min(size, maxClaim)); break;
        case 1: claimed = uint32_t(in.u32() % (std::min(size, maxClaim - 1) + 1)); break;
        case 2: claimed = uint32_t(std::min(size + 1 + in.u16(), maxClaim)); break;
        case 3: claimed = 0; break;
        case 4: claimed = in.u32(); break;
        default:
            claimed = in.u32();
            noPointer = true;
            break;
    }

    // The frame really holds the bytes it claims, as far as intake may read
    // them: up to the image size, or what the images were made with when
    // the size grew since. A longer claim is cut short here, so that intake
    // reading past the image would read past the frame too.
    const uint64_t readable = size <= kIntakeLimit ? std::max(size, capacity[slot]) : capacity[slot];
    std::vector<uint8_t> frame(size_t(std::min<uint64_t>(claimed, readable)));
    std::vector<uint8_t> pattern(in.u8() % 48);
    for (uint8_t& byte : pattern) byte = in.u8();
    if (!pattern.empty())
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = pattern[i % pattern.size()];
    const int32_t width = cameraSlots[slot].width;
    if (in.u8() & 1) {
        const uint32_t x0 = in.u16(), y0 = in.u16(), w = in.u16(), h = in.u16();
        const uint8_t b = in.u8(), g = in.u8(), r = in.u8();
        if (width > 0)
            for (uint64_t y = y0; y < uint64_t(y0) + h; ++y)
                for (uint64_t x = x0; x < uint64_t(x0) + w && x < uint64_t(width); ++x) {
                    if ((y * uint64_t(width) + x) * 3 >= frame.size()) break;
                    paintPixel(frame, y * uint64_t(width) + x, b, g, r);
                }
    }
    for (int specks = in.u8() % 32; specks > 0; --specks)
        paintPixel(frame, in.u32() % (frame.size() / 3 + 1), 0, 0, 255);

    const bool hadWork = cameraSlots[slot].workImage != nullptr, hadRaw = cameraSlots[slot].rawImage != nullptr;
    static uint8_t oneByte;
    const uint8_t* bytes = noPointer ? nullptr : frame.empty() ? &oneByte : frame.data();

    CHECK(acceptFrame(slot, bytes, claimed));

    // Both images get the frame's bytes up to its length, the size and
    // what they were made with; bytes past that keep what they held.
    const CameraSlot& s = cameraSlots[slot];
    if (size <= kIntakeLimit) {  // intake allocates what is missing at the current size
        CHECK(s.workImage != nullptr && s.rawImage != nullptr);
        CHECK(hadWork == hadRaw);  // allocations never fail here: both are made on one frame
    } else if (!hadWork) {
        CHECK(s.workImage == nullptr && s.rawImage == nullptr);
    }
    if (s.workImage == nullptr) return;
    if (!hadWork) {
        // Fresh images: past the copied length they hold whatever the
        // allocator gave, which only they can tell.
        capacity[slot] = size;
        expectedWork[slot].assign(workImageStorageBytes(slot), workImageStorageBytes(slot) + size);
        expectedRaw[slot].assign(s.rawImage, s.rawImage + size);
    }
    const size_t copied = bytes == nullptr ? 0 : size_t(std::min({uint64_t(claimed), size, capacity[slot]}));
    std::copy(bytes, bytes + copied, expectedWork[slot].begin());
    std::copy(bytes, bytes + copied, expectedRaw[slot].begin());

    const uint8_t* raw = usableRawImage(slot);
    CHECK((raw != nullptr) == (size != 0 && size <= capacity[slot]));
    if (raw != nullptr) CHECK(sameBytes(raw, expectedRaw[slot].data(), size_t(size)));
    if (afterwards == 1) {
        const uint8_t* work = usableWorkImage(slot);
        CHECK((work != nullptr) == (raw != nullptr));
        if (work != nullptr) CHECK(sameBytes(work, expectedWork[slot].data(), size_t(size)));
    } else if (afterwards == 2 && raw != nullptr) {
        std::vector<uint8_t> expected(expectedWork[slot].begin(), expectedWork[slot].begin() + long(size));
        referenceSpecks(expected, s.width, s.height);
        removeSpecks(slot, 1);
        const ImagePoint want = referenceCentroid(expected, s.width, s.height);
        const ImagePoint p = findCentroid(slot);
        CHECK(p.x == want.x && p.y == want.y);
        CHECK(sameBytes(usableWorkImage(slot), expected.data(), size_t(size)));
        std::copy(expected.begin(), expected.end(), expectedWork[slot].begin());
    }
}

// Segmentation, one pass of the speck filter and the centroid of one slot,
// each checked against the plain algorithm. The work image is read only
// afterwards and only when `read` says so, as the mask view would: in
// between, the background segmentation left unwritten goes on to the speck
// filter and the centroid, and when not read, to the next intake and tick.
// An image that is not usable at the slot's current size must be left alone.
void analyseSlot(int slot, bool read) {
    const CameraSlot& s = cameraSlots[slot];
    // Where the work image is at, without reading it.
    const uint8_t* work =
        slotBytes(slot) != 0 && slotBytes(slot) <= capacity[slot] ? workImageStorageBytes(slot) : nullptr;
    if (work == nullptr) {
        std::vector<uint8_t> kept;
        const uint8_t* stored = workImageStorageBytes(slot);
        if (stored != nullptr) kept.assign(stored, stored + capacity[slot]);
        segmentByColour(slot, reference);
        removeSpecks(slot, 1);
        const ImagePoint p = findCentroid(slot);
        CHECK(p.x == 0 && p.y == 0);
        if (stored != nullptr) CHECK(sameBytes(workImageStorageBytes(slot), kept.data(), kept.size()));
        cameraSlots[slot].latestPoint = p;
        return;
    }
    const size_t size = size_t(slotBytes(slot));
    std::vector<uint8_t> expected(expectedWork[slot].begin(), expectedWork[slot].begin() + long(size));
    referenceSegment(expected, tracker.threshold);
    segmentByColour(slot, reference);
    referenceSpecks(expected, s.width, s.height);
    removeSpecks(slot, 1);
    const ImagePoint want = referenceCentroid(expected, s.width, s.height);
    const ImagePoint p = findCentroid(slot);
    CHECK(p.x == want.x && p.y == want.y);
    CHECK((p.x == 0 && p.y == 0) || (p.x >= 0 && p.x < s.width && p.y >= 0 && p.y < s.height));
    cameraSlots[slot].latestPoint = p;
    std::copy(expected.begin(), expected.end(), expectedWork[slot].begin());
    if (read) {
        CHECK(usableWorkImage(slot) == work);
        CHECK(sameBytes(work, expected.data(), size));
    }
    CHECK(sameBytes(usableRawImage(slot), expectedRaw[slot].data(), size));
}

// which: bit 0 reads slot 0's work image after its analysis, bit 1 slot 1's.
void tick(uint8_t which) {
    analyseSlot(0, (which & 1) != 0);
    analyseSlot(1, (which & 2) != 0);
    // The sums stay far from overflowing here: coordinates are below 2^19
    // and an input holds fewer than 64 ticks.
    tracker.sums[0] += cameraSlots[0].latestPoint.x;
    tracker.sums[1] += cameraSlots[0].latestPoint.y;
    tracker.sums[2] += cameraSlots[1].latestPoint.x;
    tracker.sums[3] += cameraSlots[1].latestPoint.y;
    tracker.sampleCount += 1;
}

void checkDistance() {
    const float distance = estimateDistance();
    const float want = referenceDistance();
    CHECK(std::memcmp(&distance, &want, sizeof distance) == 0 || (std::isnan(distance) && std::isnan(want)));
}

void report() {
    if (tracker.sampleCount > 0) {
        int32_t averages[4];
        for (int i = 0; i < 4; ++i) averages[i] = tracker.sums[i] / tracker.sampleCount;
        tracker.averagedPoints[0] = ImagePoint{averages[0], averages[1]};
        tracker.averagedPoints[1] = ImagePoint{averages[2], averages[3]};
        tracker.sampleCount = 0;
        for (int32_t& sum : tracker.sums) sum = 0;
    }
    checkDistance();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetCameraSlot(0);
    resetCameraSlot(1);
    resetTrackerState();
    reference = kRed;
    capacity[0] = capacity[1] = 0;
    for (int slot = 0; slot < 2; ++slot) {
        expectedWork[slot].clear();
        expectedRaw[slot].clear();
    }

    Input in(data, size);
    for (int command = 0; command < kMaxCommands && !in.done(); ++command) {
        const uint8_t c = in.u8();
        const int slot = c & 1;
        switch ((c >> 1) % 7) {
            case 0: chooseSize(in, slot); break;
            case 1: deliverFrame(in, slot); break;
            case 2: tick(in.u8()); break;
            case 3: {
                const uint8_t kind = in.u8();
                tracker.threshold = (kind & 1) ? int32_t(in.u8()) - 40 : in.i32();
                if ((kind & 2) != 0) {
                    const uint8_t pick = in.u8();
                    reference = pick < 128 ? kNamedColours[pick % 8] : in.u32() & 0xFFFFFF;
                }
                break;
            }
            case 4: report(); break;
            case 5:
                tracker.averagedPoints[0] = ImagePoint{in.i32(), in.i32()};
                tracker.averagedPoints[1] = ImagePoint{in.i32(), in.i32()};
                checkDistance();
                break;
            default:
                resetCameraSlot(slot);
                capacity[slot] = 0;
                expectedWork[slot].clear();
                expectedRaw[slot].clear();
                break;
        }
    }
    return 0;
}
