#include "YuvToBgra.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define LUMEN_YUV_SSE2 1
#include <emmintrin.h>
#endif

namespace platform {

namespace {

using Factors = YuvFactors;

// The factors in 13 fractional bits, for whole-number arithmetic; the
// offsets hold the black level and the rounding.
struct Fixed {
    int32_t luma, rv, gu, gv, bu, offset;
};

constexpr int kFraction = 13;

Fixed FixedOf(const Factors& f) {
    auto q = [](double value) { return int32_t(std::lround(value * (1 << kFraction))); };
    return {q(f.luma), q(f.rv), q(f.gu), q(f.gv), q(f.bu),
            q(-f.luma * f.black) + (1 << (kFraction - 1))};
}

inline uint8_t Level(int32_t value) {
    return uint8_t(std::clamp(value >> kFraction, 0, 255));
}

// Pixels [from, to) of a row, one at a time.
void RowScalar(const Fixed& k, const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t step,
               int32_t chromaWidth, int32_t from, int32_t to, uint8_t* out) {
    for (int32_t x = from; x < to; ++x) {
        const int32_t c = std::min(x / 2, chromaWidth - 1) * step;
        const int32_t luma = k.luma * y[x] + k.offset;
        const int32_t cu = u[c] - 128, cv = v[c] - 128;
        out[4 * x] = Level(luma + k.bu * cu);
        out[4 * x + 1] = Level(luma + k.gu * cu + k.gv * cv);
        out[4 * x + 2] = Level(luma + k.rv * cv);
        out[4 * x + 3] = 255;
    }
}

#ifdef LUMEN_YUV_SSE2

// Sixteen pixels at a time in 16-bit lanes with 5 fractional bits: each
// level shifted up by 8 and multiplied, keeping the high half, by its factor
// in 13 fractional bits (all below 2.2, so they fit).
struct Lanes {
    __m128i luma, rv, gu, gv, bu, offset;
};

Lanes LanesOf(const Factors& f) {
    auto q = [](double value) { return int16_t(std::lround(value * (1 << kFraction))); };
    return {_mm_set1_epi16(q(f.luma)),
            _mm_set1_epi16(q(f.rv)),
            _mm_set1_epi16(q(f.gu)),
            _mm_set1_epi16(q(f.gv)),
            _mm_set1_epi16(q(f.bu)),
            _mm_set1_epi16(int16_t(std::lround(-f.luma * f.black * 32) + 16))};
}

// Eight pixels' B, G, R in 5 fractional bits, from Y and from U and V (each
// less 128), all shifted up by 8.
inline void Pixels8(const Lanes& k, __m128i y, __m128i u, __m128i v, __m128i& b, __m128i& g,
                    __m128i& r) {
    const __m128i luma = _mm_add_epi16(_mm_mulhi_epu16(y, k.luma), k.offset);
    b = _mm_srai_epi16(_mm_add_epi16(luma, _mm_mulhi_epi16(u, k.bu)), 5);
    g = _mm_srai_epi16(
        _mm_add_epi16(luma, _mm_add_epi16(_mm_mulhi_epi16(u, k.gu), _mm_mulhi_epi16(v, k.gv))),
        5);
    r = _mm_srai_epi16(_mm_add_epi16(luma, _mm_mulhi_epi16(v, k.rv)), 5);
}

// The row's pixels in blocks of sixteen; returns how many it did.
int32_t RowSse2(const Lanes& k, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                int32_t step, int32_t width, int32_t chromaWidth, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(int16_t(0x8000));
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i opaque = _mm_set1_epi8(char(0xFF));
    // A block reads 8 chroma samples; all of them must lie in the row.
    const int32_t blocks = std::min(width / 16, chromaWidth / 8);
    for (int32_t i = 0; i < blocks; ++i) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 16 * i));
        __m128i u16, v16; // the 8 samples shifted up by 8
        if (step == 2) {
            const __m128i uv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 16 * i));
            u16 = _mm_slli_epi16(uv, 8);
            v16 = _mm_andnot_si128(lowBytes, uv);
        } else {
            u16 = _mm_unpacklo_epi8(zero,
                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + 8 * i)));
            v16 = _mm_unpacklo_epi8(zero,
                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + 8 * i)));
        }
        // Less 128, and each sample for its two pixels.
        u16 = _mm_xor_si128(u16, bias);
        v16 = _mm_xor_si128(v16, bias);
        __m128i b[2], g[2], r[2];
        Pixels8(k, _mm_unpacklo_epi8(zero, luma), _mm_unpacklo_epi16(u16, u16),
                _mm_unpacklo_epi16(v16, v16), b[0], g[0], r[0]);
        Pixels8(k, _mm_unpackhi_epi8(zero, luma), _mm_unpackhi_epi16(u16, u16),
                _mm_unpackhi_epi16(v16, v16), b[1], g[1], r[1]);
        const __m128i b8 = _mm_packus_epi16(b[0], b[1]);
        const __m128i g8 = _mm_packus_epi16(g[0], g[1]);
        const __m128i r8 = _mm_packus_epi16(r[0], r[1]);
        const __m128i bgLow = _mm_unpacklo_epi8(b8, g8), bgHigh = _mm_unpackhi_epi8(b8, g8);
        const __m128i raLow = _mm_unpacklo_epi8(r8, opaque), raHigh = _mm_unpackhi_epi8(r8, opaque);
        __m128i* o = reinterpret_cast<__m128i*>(out + 64 * i);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(bgLow, raLow));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(bgLow, raLow));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
    return 16 * blocks;
}

#endif

} // namespace

YuvFactors FactorsOf(const YuvColour& colour) {
    const double kr = colour.matrix == YuvMatrix::Bt709 ? 0.2126 : 0.299;
    const double kb = colour.matrix == YuvMatrix::Bt709 ? 0.0722 : 0.114;
    const double kg = 1 - kr - kb;
    const double chroma = colour.fullRange ? 1.0 : 255.0 / 224.0;
    return {colour.fullRange ? 1.0 : 255.0 / 219.0,
            colour.fullRange ? 0.0 : 16.0,
            chroma * 2 * (1 - kr),
            -chroma * 2 * kb * (1 - kb) / kg,
            -chroma * 2 * kr * (1 - kr) / kg,
            chroma * 2 * (1 - kb)};
}

void ConvertToBgra(const YuvSource& s, uint8_t* out, int32_t outStride) {
    if (s.width < 2 || s.height < 2)
        return;
    const Factors factors = FactorsOf(s.colour);
    const Fixed fixed = FixedOf(factors);
#ifdef LUMEN_YUV_SSE2
    const Lanes lanes = LanesOf(factors);
#endif
    const int32_t chromaWidth = s.width / 2, chromaHeight = s.height / 2;
    for (int32_t row = 0; row < s.height; ++row, out += outStride) {
        const uint8_t* y = s.y + int64_t(row) * s.yStride;
        const int64_t chromaRow = std::min(row / 2, chromaHeight - 1);
        const uint8_t* u = s.u + chromaRow * s.uStride;
        const uint8_t* v = s.v + chromaRow * s.vStride;
        int32_t done = 0;
#ifdef LUMEN_YUV_SSE2
        done = RowSse2(lanes, y, u, v, s.chromaStep, s.width, chromaWidth, out);
#endif
        RowScalar(fixed, y, u, v, s.chromaStep, chromaWidth, done, s.width, out);
    }
}

} // namespace platform
