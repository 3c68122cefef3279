// Lanes: W doubles handled as one, the layer every vectorised conversion of
// quorvane.mathtools.ellipsoid._fast is written on, once over the lane count W
// and compiled once per instruction-set level (level_*.cpp): W = 1 (plain
// scalar code), W = 2 (SSE2, NEON), W = 4 (AVX2), W = 8 (AVX-512 F and DQ: the
// compares give a mask register, DQ moves it into a vector of lanes). Above it:
// the elementary functions (elementary.h), the conversions' lanes (geodesy.h),
// the loops over rows (loops.h).
//
// Same bits at every width. The lanes are GCC vector types: every operation
// is one IEEE operation per lane (add, subtract, multiply, divide, square
// root, compare, select), applied in the order written, whatever W is; the
// build forbids contraction into fused multiply-adds (-ffp-contract=off) and
// no level is compiled with -mfma. Rounding to an integer uses the
// 1.5 * 2^52 shift, not a conversion instruction.
//
// Everything in these headers is in an anonymous namespace: each level's file
// gets its own copy, compiled for its own instruction set.
//
//   [Dekker 1971] T. J. Dekker, "A floating-point technique for extending the
//     available precision", Numerische Mathematik 18, 224-242, 1971: exact
//     products by Veltkamp's splitting, and sums with their rounding error
//     (also D. E. Knuth, "The Art of Computer Programming", vol. 2, 4.2.2).
#ifndef QUORVANE_ELLIPSOID_FAST_LANES_H
#define QUORVANE_ELLIPSOID_FAST_LANES_H

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(__AVX__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace quorvane::fast {
namespace {

template <int W>
struct Lanes {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef std::int64_t I __attribute__((vector_size(8 * W)));
};
template <int W>
using V = typename Lanes<W>::V;
template <int W>
using I = typename Lanes<W>::I;

template <int W>
inline V<W> splat(double c) noexcept {
    V<W> v;
    for (int k = 0; k < W; ++k) v[k] = c;
    return v;
}

template <int W>
inline I<W> bits(V<W> v) noexcept {
    I<W> i;
    std::memcpy(&i, &v, sizeof i);
    return i;
}

template <int W>
inline V<W> from_bits(I<W> i) noexcept {
    V<W> v;
    std::memcpy(&v, &i, sizeof v);
    return v;
}

inline constexpr std::int64_t kSignBit = INT64_MIN;

template <int W>
inline V<W> abs(V<W> x) noexcept {
    return from_bits<W>(bits<W>(x) & ~kSignBit);
}

// |r| with the sign of s (r >= 0).
template <int W>
inline V<W> with_sign_of(V<W> r, V<W> s) noexcept {
    return from_bits<W>(bits<W>(r) | (bits<W>(s) & kSignBit));
}

template <int W>
inline V<W> sqrt(V<W> x) noexcept {
#if defined(__AVX512F__)
    // (the masked form: _mm512_sqrt_pd passes GCC an undefined source it warns of)
    if constexpr (W == 8) return _mm512_mask_sqrt_pd(x, 0xFF, x);
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return _mm256_sqrt_pd(x);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return _mm_sqrt_pd(x);
#endif
#if defined(__aarch64__)
    if constexpr (W == 2) return vsqrtq_f64(x);
#endif
    // Correctly rounded, as the instructions above are: the same bits.
    for (int k = 0; k < W; ++k) x[k] = __builtin_sqrt(x[k]);
    return x;
}

// a where m is set, else b, lane by lane, on the bits. (GCC 12 drops the
// vector conditional a ? b : c on one-lane vectors at -O2: hence this form.)
template <int W>
inline V<W> pick(I<W> m, V<W> a, V<W> b) noexcept {
    return from_bits<W>((bits<W>(a) & m) | (bits<W>(b) & ~m));
}

// Whether a lane of m is set (not zero), and whether all are: one test of the whole
// register where the instruction set has it (GCC makes the loop lane extractions).
template <int W>
inline bool any(I<W> m) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) != 0;
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return !_mm256_testz_si256((__m256i)m, (__m256i)m);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return _mm_movemask_epi8((__m128i)m) != 0;
#endif
    for (int k = 0; k < W; ++k)
        if (m[k]) return true;
    return false;
}

template <int W>
inline bool all(I<W> m) noexcept {
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) == 0xFF;
#endif
#if defined(__SSE2__) || defined(__AVX__)
    if constexpr (W == 2 || W == 4) return !any<W>(m == 0);
#endif
    for (int k = 0; k < W; ++k)
        if (!m[k]) return false;
    return true;
}

// a * b = p + e exactly [Dekker 1971], for |a|, |b| below 2^995.
template <int W>
inline V<W> split_high(V<W> a) noexcept {
    const V<W> c = a * 134217729.0;  // 2^27 + 1
    return c - (c - a);
}
template <int W>
inline V<W> product_error(V<W> a, V<W> b, V<W> p) noexcept {
    const V<W> ah = split_high<W>(a), bh = split_high<W>(b);
    const V<W> al = a - ah, bl = b - bh;
    return (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LANES_H
