#pragma once

// Matrix products for the kernels: each tile is one single-threaded SGEMM, and the tiles run on
// the kernels' worker pool. One pool owning every thread keeps BLAS's own spinning threads from
// competing with the pool's between products.

#include <cstddef>

namespace ml::whisper {

// While any instance lives, BLAS runs single-threaded; the BLAS thread count in force before the
// first instance is restored when the last one goes.
class SingleThreadedBlas {
public:
    SingleThreadedBlas();
    SingleThreadedBlas(const SingleThreadedBlas&) = delete;
    SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
    ~SingleThreadedBlas();
};

// C[m × n] = A[m × k] · B[n × k]ᵀ + beta · C (row-major, leading dimensions as given).
// Needs a live SingleThreadedBlas.
void parallelGemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                  const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc);

// C[m × n] = A[m × k] · B[k × n] + beta · C, B not transposed.
void parallelGemmNN(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                    const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc);

}  // namespace ml::whisper
