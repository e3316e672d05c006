// Frame conversions into bottom-up packed BGR. YUV is BT.601 studio range,
// converted with the usual 8-bit integer coefficients, rounded and clamped:
//   c = 298 (Y - 16), d = U - 128, e = V - 128
//   B = (c + 516 d + 128) >> 8, G = (c - 100 d - 208 e + 128) >> 8,
//   R = (c + 409 e + 128) >> 8, each clamped to 0..255.
// The SSE2 path of YUY2 rows computes exactly this, sixteen pixels at a time.
#include "platform/avicap32/frame_conversion.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace standin {

namespace {

inline uint8_t clamp255(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline void yuvToBgr(int y, int u, int v, uint8_t* bgr) {
    const int c = 298 * (y - 16);
    const int d = u - 128;
    const int e = v - 128;
    bgr[0] = clamp255((c + 516 * d + 128) >> 8);
    bgr[1] = clamp255((c - 100 * d - 208 * e + 128) >> 8);
    bgr[2] = clamp255((c + 409 * e + 128) >> 8);
}

#if defined(__SSE2__)
// A factor of 16-bit multiplies, hidden from the compiler, which would make
// shifts and adds of each multiply by a constant (several times the work).
inline __m128i factor(short k) {
    __m128i v = _mm_set1_epi16(k);
    __asm__("" : "+x"(v));
    return v;
}

// Eight pixels' blue, green and red as 16-bit lanes, before clamping, from
// 16 bytes of YUY2. The coefficients are split so that every sum fits 16
// bits and the result stays exactly the formula's: with 298 = 256 + 42,
// 516 = 512 + 4, -208 = -256 + 48 and 409 = 256 + 153,
//   B = c' + 2d + ((42 c' + 4d + 128) >> 8)
//   G = c' - e + ((42 c' - 100d + 48e + 128) >> 8)
//   R = c' + e + ((42 c' + 153e + 128) >> 8),   c' = Y - 16,
// since adding a multiple of 256 before the shift adds its 256th after it.
inline void bgrOfEight(const uint8_t* in, __m128i& b, __m128i& g, __m128i& r) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i y = _mm_sub_epi16(_mm_and_si128(bytes, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(16));
    const __m128i chroma = _mm_sub_epi16(_mm_srli_epi16(bytes, 8), _mm_set1_epi16(128));  // U0 V0 U1 V1 ...
    __m128i d = _mm_and_si128(chroma, _mm_set1_epi32(0xFFFF));
    d = _mm_or_si128(d, _mm_slli_epi32(d, 16));  // each pixel's U - 128
    __m128i e = _mm_srli_epi32(chroma, 16);
    e = _mm_or_si128(e, _mm_slli_epi32(e, 16));  // each pixel's V - 128
    const __m128i y42 = _mm_add_epi16(_mm_mullo_epi16(y, factor(42)), _mm_set1_epi16(128));
    b = _mm_add_epi16(_mm_add_epi16(y, _mm_add_epi16(d, d)),
                      _mm_srai_epi16(_mm_add_epi16(y42, _mm_slli_epi16(d, 2)), 8));
    g = _mm_add_epi16(_mm_sub_epi16(y, e),
                      _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(y42, _mm_mullo_epi16(d, factor(100))),
                                                   _mm_mullo_epi16(e, factor(48))),
                                     8));
    r = _mm_add_epi16(_mm_add_epi16(y, e), _mm_srai_epi16(_mm_add_epi16(y42, _mm_mullo_epi16(e, factor(153))), 8));
}

// Four pixels of blue-green-red-zero words, as 12 bytes to out; writes two
// bytes past them, which the next pixel overwrites.
inline void storeFourBgr(__m128i bgrx, uint8_t* out) {
    // Two pixels in each 64-bit half: the second's three bytes moved down
    // against the first's.
    const __m128i pairs = _mm_or_si128(_mm_and_si128(bgrx, _mm_set_epi32(0, -1, 0, -1)),
                                       _mm_slli_epi64(_mm_srli_epi64(bgrx, 32), 24));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_srli_si128(pairs, 8));
}

// Sixteen pixels: 32 bytes of YUY2 in, 48 bytes of BGR out, and two bytes
// past them.
inline void yuy2SixteenToBgr(const uint8_t* in, uint8_t* out) {
    __m128i b0, g0, r0, b1, g1, r1;
    bgrOfEight(in, b0, g0, r0);
    bgrOfEight(in + 16, b1, g1, r1);
    // Saturating packs clamp to 0..255 exactly as clamp255 does.
    const __m128i b = _mm_packus_epi16(b0, b1), g = _mm_packus_epi16(g0, g1), r = _mm_packus_epi16(r0, r1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i bgLow = _mm_unpacklo_epi8(b, g), bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rLow = _mm_unpacklo_epi8(r, zero), rHigh = _mm_unpackhi_epi8(r, zero);
    storeFourBgr(_mm_unpacklo_epi16(bgLow, rLow), out);
    storeFourBgr(_mm_unpackhi_epi16(bgLow, rLow), out + 12);
    storeFourBgr(_mm_unpacklo_epi16(bgHigh, rHigh), out + 24);
    storeFourBgr(_mm_unpackhi_epi16(bgHigh, rHigh), out + 36);
}
#endif

}  // namespace

void yuy2RowToBgr(const uint8_t* in, int width, uint8_t* out) {
    int x = 0;
#if defined(__SSE2__)
    // Sixteen pixels at a time while at least one more follows them, so
    // that the bytes written past the sixteenth stay within the row.
    for (; x + 16 < width; x += 16, in += 32, out += 48) yuy2SixteenToBgr(in, out);
#endif
    for (; x + 1 < width; x += 2, in += 4, out += 6) {
        yuvToBgr(in[0], in[1], in[3], out);
        yuvToBgr(in[2], in[1], in[3], out + 3);
    }
}

size_t packedRowBytes(PixelLayout layout, int width) {
    switch (layout) {
        case PixelLayout::Bgr24: return size_t(width) * 3;
        case PixelLayout::Bgrx32: return size_t(width) * 4;
        case PixelLayout::Yuy2: return size_t(width) * 2;
        case PixelLayout::Nv12: return size_t(width);
    }
    return 0;
}

bool convertFrame(PixelLayout layout, const uint8_t* data, size_t size, size_t stride, bool topDown, int width,
                  int height, uint8_t* out) {
    if (data == nullptr || out == nullptr || width <= 0 || width % 4 != 0 || height <= 0) return false;
    if (layout == PixelLayout::Nv12 && height % 2 != 0) return false;
    const size_t rowBytes = packedRowBytes(layout, width);
    if (stride < rowBytes || stride > size) return false;
    // Rows in the buffer: the picture's, plus NV12's half-height chroma plane.
    const size_t rows = layout == PixelLayout::Nv12 ? size_t(height) + size_t(height) / 2 : size_t(height);
    if (size / stride < rows - 1 || size - (rows - 1) * stride < rowBytes) return false;

    const size_t outRow = size_t(width) * 3;
    for (int r = 0; r < height; ++r) {
        // Row r counted from the top of the picture.
        const size_t sourceRow = topDown ? size_t(r) : size_t(height - 1 - r);
        const uint8_t* in = data + sourceRow * stride;
        uint8_t* o = out + size_t(height - 1 - r) * outRow;
        switch (layout) {
            case PixelLayout::Bgr24:
                std::memcpy(o, in, outRow);
                break;
            case PixelLayout::Bgrx32:
                for (int x = 0; x < width; ++x, in += 4, o += 3) {
                    o[0] = in[0];
                    o[1] = in[1];
                    o[2] = in[2];
                }
                break;
            case PixelLayout::Yuy2:
                yuy2RowToBgr(in, width, o);
                break;
            case PixelLayout::Nv12: {
                const size_t chromaRow = topDown ? size_t(r) / 2 : size_t(height - 1 - r) / 2;
                const uint8_t* uv = data + (size_t(height) + chromaRow) * stride;
                for (int x = 0; x < width; x += 2, in += 2, uv += 2, o += 6) {
                    yuvToBgr(in[0], uv[0], uv[1], o);
                    yuvToBgr(in[1], uv[0], uv[1], o + 3);
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace standin
