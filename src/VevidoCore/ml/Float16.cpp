#include "ml/Float16.h"

#if defined(__F16C__)
#include <immintrin.h>
#endif

namespace ml {

void convertToFloat(const Float16* in, float* out, std::size_t n) {
    std::size_t i = 0;
#if defined(__F16C__)
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
    }
#endif
    for (; i < n; ++i) out[i] = Float16::toFloat(in[i].bits);
}

void convertToFloat16(const float* in, Float16* out, std::size_t n) {
    std::size_t i = 0;
#if defined(__F16C__)
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
    }
#endif
    for (; i < n; ++i) out[i] = Float16(in[i]);
}

}  // namespace ml
