#include "HalfVector.h"

#if defined(__F16C__) && defined(__FMA__) && defined(__AVX2__)
#include <immintrin.h>
#define ML_HALF_SIMD 1
#endif

namespace ml::whisper {

#if defined(ML_HALF_SIMD)

namespace {

#if defined(__AVX512F__)
constexpr std::size_t kWide = 16;
using Wide = __m512;
#define ML_WIDE(op) _mm512_##op
// The masked form: GCC 12's unmasked one starts from an undefined register and warns.
inline Wide loadHalf(const Float16* p) {
    return _mm512_maskz_cvtph_ps(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
inline float reduce(Wide v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float s = 0;
    for (float x : lanes)
        s += x;
    return s;
}
#else
constexpr std::size_t kWide = 8;
using Wide = __m256;
#define ML_WIDE(op) _mm256_##op
inline Wide loadHalf(const Float16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline float reduce(Wide v) {
    const __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehdup_ps(t)));
}
#endif

// The operations both widths spell alike but for the prefix.
inline Wide loadFloat(const float* p) {
    return ML_WIDE(loadu_ps)(p);
}
inline void storeFloat(float* p, Wide v) {
    ML_WIDE(storeu_ps)(p, v);
}
inline Wide fma(Wide a, Wide b, Wide c) {
    return ML_WIDE(fmadd_ps)(a, b, c);
}
inline Wide zero() {
    return ML_WIDE(setzero_ps)();
}
inline Wide broadcast(float a) {
    return ML_WIDE(set1_ps)(a);
}
inline Wide add(Wide a, Wide b) {
    return ML_WIDE(add_ps)(a, b);
}
#undef ML_WIDE

}  // namespace

void gemvHalf(const Float16* w, std::size_t cols, const float* x, std::size_t first,
              std::size_t end, float* y) {
    const std::size_t vecCols = cols - cols % kWide;
    std::size_t r = first;
    // Four rows at a time share each load of x.
    for (; r + 4 <= end; r += 4) {
        const Float16* w0 = w + r * cols;
        const Float16* w1 = w0 + cols;
        const Float16* w2 = w1 + cols;
        const Float16* w3 = w2 + cols;
        Wide a0 = zero(), a1 = zero(), a2 = zero(), a3 = zero();
        for (std::size_t c = 0; c < vecCols; c += kWide) {
            const Wide xv = loadFloat(x + c);
            a0 = fma(loadHalf(w0 + c), xv, a0);
            a1 = fma(loadHalf(w1 + c), xv, a1);
            a2 = fma(loadHalf(w2 + c), xv, a2);
            a3 = fma(loadHalf(w3 + c), xv, a3);
        }
        float s0 = reduce(a0), s1 = reduce(a1), s2 = reduce(a2), s3 = reduce(a3);
        for (std::size_t c = vecCols; c < cols; ++c) {
            s0 += float(w0[c]) * x[c];
            s1 += float(w1[c]) * x[c];
            s2 += float(w2[c]) * x[c];
            s3 += float(w3[c]) * x[c];
        }
        y[r - first] = s0;
        y[r - first + 1] = s1;
        y[r - first + 2] = s2;
        y[r - first + 3] = s3;
    }
    for (; r < end; ++r)
        y[r - first] = dotHalf(x, w + r * cols, cols);
}

float dotHalf(const float* a, const Float16* b, std::size_t n) {
    Wide acc0 = zero(), acc1 = zero();
    std::size_t i = 0;
    for (; i + 2 * kWide <= n; i += 2 * kWide) {
        acc0 = fma(loadHalf(b + i), loadFloat(a + i), acc0);
        acc1 = fma(loadHalf(b + i + kWide), loadFloat(a + i + kWide), acc1);
    }
    for (; i + kWide <= n; i += kWide)
        acc0 = fma(loadHalf(b + i), loadFloat(a + i), acc0);
    float s = reduce(add(acc0, acc1));
    for (; i < n; ++i)
        s += a[i] * float(b[i]);
    return s;
}

void axpyHalf(float a, const Float16* x, float* y, std::size_t n) {
    const Wide av = broadcast(a);
    std::size_t i = 0;
    for (; i + kWide <= n; i += kWide)
        storeFloat(y + i, fma(av, loadHalf(x + i), loadFloat(y + i)));
    for (; i < n; ++i)
        y[i] += a * float(x[i]);
}

#else  // portable fallback

float dotHalf(const float* a, const Float16* b, std::size_t n) {
    float s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += a[i] * float(b[i]);
    return s;
}

void gemvHalf(const Float16* w, std::size_t cols, const float* x, std::size_t first,
              std::size_t end, float* y) {
    for (std::size_t r = first; r < end; ++r)
        y[r - first] = dotHalf(x, w + r * cols, cols);
}

void axpyHalf(float a, const Float16* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        y[i] += a * float(x[i]);
}

#endif

}  // namespace ml::whisper
