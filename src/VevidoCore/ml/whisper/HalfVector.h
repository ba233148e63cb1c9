#pragma once

// Products of half-precision data with float vectors, widening on the fly (F16C), for the
// decoder step: its matrices are read once per token, so reading half the bytes is what counts.

#include <cstddef>

#include "ml/Float16.h"

namespace ml::whisper {

// y[i] = Σ_c w[(first + i) · cols + c] · x[c] for the rows first ≤ row < end.
void gemvHalf(const Float16* w, std::size_t cols, const float* x, std::size_t first,
              std::size_t end, float* y);

// Σ a[i] · b[i]
float dotHalf(const float* a, const Float16* b, std::size_t n);

// y[i] += a · x[i]
void axpyHalf(float a, const Float16* x, float* y, std::size_t n);

}  // namespace ml::whisper
