#include "YuvToBgra.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

namespace {

// One row of a picture at a time, with its colours' factors worked out once.
class CRowConverter {
public:
    explicit CRowConverter(const YuvColour& colour)
        : factors(FactorsOf(colour)), fixed(FixedOf(factors)) {
#ifdef LUMEN_YUV_SSE2
        lanes = LanesOf(factors);
#endif
    }

    void Row(const YuvSource& s, int32_t row, uint8_t* out) const {
        const int32_t chromaWidth = s.width / 2, chromaHeight = s.height / 2;
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

private:
    Factors factors;
    Fixed fixed;
#ifdef LUMEN_YUV_SSE2
    Lanes lanes;
#endif
};

// A converted row stretched linearly: each pixel of out blends the pixel at
// its index with the next by its weights.
void StretchRow(const uint8_t* row, const int32_t* index, const uint16_t* weight, int32_t n,
                uint8_t* out) {
    int32_t i = 0;
#ifdef LUMEN_YUV_SSE2
    // In 16-bit lanes: levels times weights of at most 256 stay below 2^16.
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi16(128);
    auto pair = [&](int32_t at) {
        auto pixels = [&](int32_t k) {
            const __m128i two = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 4 * index[k])), zero);
            return _mm_mullo_epi16(
                two, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weight + 8 * k)));
        };
        const __m128i a = pixels(at), b = pixels(at + 1);
        const __m128i sum =
            _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)), half);
        return _mm_srli_epi16(sum, 8);
    };
    for (; i + 4 <= n; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i),
                         _mm_packus_epi16(pair(i), pair(i + 2)));
#endif
    for (; i < n; ++i) {
        const uint8_t* p = row + 4 * index[i];
        const int w = weight[8 * i + 4];
        for (int c = 0; c < 4; ++c)
            out[4 * i + c] = uint8_t((p[c] * (256 - w) + p[4 + c] * w + 128) >> 8);
    }
}

// Two rows blended, the second weighing w in 256ths.
void BlendRows(const uint8_t* a, const uint8_t* b, int w, int32_t bytes, uint8_t* out) {
    if (w == 0 || w == 256) {
        std::memcpy(out, w ? b : a, size_t(bytes));
        return;
    }
    int32_t i = 0;
#ifdef LUMEN_YUV_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi16(128);
    const __m128i wa = _mm_set1_epi16(int16_t(256 - w)), wb = _mm_set1_epi16(int16_t(w));
    auto blend = [&](__m128i x, __m128i y) {
        return _mm_srli_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(x, wa), _mm_mullo_epi16(y, wb)), half), 8);
    };
    for (; i + 16 <= bytes; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i low = blend(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero));
        const __m128i high = blend(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
    }
#endif
    for (; i < bytes; ++i)
        out[i] = uint8_t((a[i] * (256 - w) + b[i] * w + 128) >> 8);
}

} // namespace

void ConvertToBgra(const YuvSource& s, uint8_t* out, int32_t outStride) {
    if (s.width < 2 || s.height < 2)
        return;
    const CRowConverter converter(s.colour);
    for (int32_t row = 0; row < s.height; ++row, out += outStride)
        converter.Row(s, row, out);
}

void CBgraScaler::Fill(Axis& a, int32_t pictureSide, int32_t side, int32_t from, int32_t to,
                       bool linear, int lanes) {
    if (a.pictureSide == pictureSide && a.side == side && a.from == from && a.to == to &&
        a.linear == linear && !a.index.empty())
        return;
    a.pictureSide = pictureSide;
    a.side = side;
    a.from = from;
    a.to = to;
    a.linear = linear;
    a.index.resize(size_t(to - from));
    a.weight.assign(size_t(to - from) * size_t(lanes), 0);
    for (int32_t d = from; d < to; ++d) {
        int32_t index;
        int weight = 0;
        if (linear) {
            // The pixel's centre among the picture's sample centres, as
            // OpenGL's linear filter finds it, clamped to the edge.
            const double at = (d + 0.5) * pictureSide / side - 0.5;
            if (at <= 0) {
                index = 0;
            } else if (at >= pictureSide - 1) {
                index = pictureSide - 2;
                weight = 256;
            } else {
                index = int32_t(at);
                weight = int(std::lround((at - index) * 256));
            }
        } else {
            index = int32_t(std::min<int64_t>(
                (2 * int64_t(d) + 1) * pictureSide / (2 * int64_t(side)), pictureSide - 1));
        }
        const size_t k = size_t(d - from);
        a.index[k] = index;
        for (int lane = 0; lane < lanes; ++lane)
            a.weight[k * size_t(lanes) + size_t(lane)] =
                uint16_t(lanes == 1 || lane >= lanes / 2 ? weight : 256 - weight);
    }
}

void CBgraScaler::Scale(const YuvSource& s, int32_t width, int32_t height, const DrawRect& clip,
                        uint8_t* out, int32_t outStride) {
    if (s.width < 2 || s.height < 2 || width <= 0 || height <= 0)
        return;
    const int32_t left = std::max(clip.left, 0), top = std::max(clip.top, 0);
    const int32_t right = std::min(int64_t(clip.left) + clip.width, int64_t(width));
    const int32_t bottom = std::min(int64_t(clip.top) + clip.height, int64_t(height));
    if (left >= right || top >= bottom)
        return;
    const bool linear = width > s.width || height > s.height;
    Fill(columns, s.width, width, left, right, linear, linear ? 8 : 1);
    Fill(rows, s.height, height, top, bottom, linear, 1);
    const CRowConverter converter(s.colour);
    const int32_t n = right - left;
    converted.resize(size_t(s.width) * 4);

    if (!linear) {
        // At the picture's own width the row is converted where it goes.
        const bool direct = width == s.width && left == 0 && right == width;
        for (int32_t i = 0; i < bottom - top; ++i, out += outStride) {
            const int32_t row = rows.index[size_t(i)];
            if (direct) {
                converter.Row(s, row, out);
                continue;
            }
            converter.Row(s, row, converted.data());
            const int32_t* index = columns.index.data();
            for (int32_t x = 0; x < n; ++x)
                std::memcpy(out + 4 * x, converted.data() + 4 * index[x], 4);
        }
        return;
    }

    // Each picture row is converted and stretched across once, and kept
    // while the rows of the rectangle between it and the next blend them.
    stretched.resize(size_t(n) * 8);
    int32_t held[2] = {-1, -1};
    auto stretchedRow = [&](int32_t row, int32_t keep) {
        for (int slot = 0; slot < 2; ++slot)
            if (held[slot] == row)
                return stretched.data() + size_t(slot) * 4 * size_t(n);
        const int slot = held[0] == keep ? 1 : 0;
        uint8_t* into = stretched.data() + size_t(slot) * 4 * size_t(n);
        converter.Row(s, row, converted.data());
        StretchRow(converted.data(), columns.index.data(), columns.weight.data(), n, into);
        held[slot] = row;
        return into;
    };
    for (int32_t i = 0; i < bottom - top; ++i, out += outStride) {
        const int32_t row = rows.index[size_t(i)];
        const int w = rows.weight[size_t(i)];
        const uint8_t* a = w < 256 ? stretchedRow(row, row + 1) : nullptr;
        const uint8_t* b = w > 0 ? stretchedRow(row + 1, row) : nullptr;
        BlendRows(a, b, w, 4 * n, out);
    }
}

} // namespace platform
