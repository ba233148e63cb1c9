#include "ParallelGemm.h"

#include <cblas.h>

#include <algorithm>
#include <mutex>

#include "WorkerPool.h"

namespace ml::whisper {

namespace {

std::mutex blasThreadsMutex;
int blasUsers = 0;
int blasThreadsBefore = 1;

// Tiles of about this many rows and columns: big enough that packing stays a small share of a
// tile's work, small enough that every worker gets several.
constexpr std::size_t kTileRows = 96;
constexpr std::size_t kTileColumns = 384;

template <typename Tile>
void tiled(std::size_t m, std::size_t n, Tile&& tile) {
    const std::size_t rowTiles = std::max<std::size_t>(1, (m + kTileRows / 2) / kTileRows);
    const std::size_t columnTiles = std::max<std::size_t>(1, (n + kTileColumns / 2) / kTileColumns);
    WorkerPool::shared().run(rowTiles * columnTiles, [&](std::size_t t) {
        const std::size_t i = t / columnTiles, j = t % columnTiles;
        const std::size_t r0 = m * i / rowTiles, r1 = m * (i + 1) / rowTiles;
        // Column tiles on multiples of 16 keep the microkernel's vector loads whole.
        const std::size_t c0 = (n * j / columnTiles) & ~std::size_t{15};
        const std::size_t c1 = j + 1 == columnTiles ? n : (n * (j + 1) / columnTiles) & ~std::size_t{15};
        if (r1 > r0 && c1 > c0) tile(r0, r1, c0, c1);
    });
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasUsers++ == 0) {
        blasThreadsBefore = openblas_get_num_threads();
        if (blasThreadsBefore != 1) openblas_set_num_threads(1);
    }
}

SingleThreadedBlas::~SingleThreadedBlas() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (--blasUsers == 0 && blasThreadsBefore != 1) openblas_set_num_threads(blasThreadsBefore);
}

void parallelGemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                  const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc) {
    tiled(m, n, [&](std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(r1 - r0),
                    static_cast<blasint>(c1 - c0), static_cast<blasint>(k), 1.0f, a + r0 * lda,
                    static_cast<blasint>(lda), b + c0 * ldb, static_cast<blasint>(ldb), beta,
                    c + r0 * ldc + c0, static_cast<blasint>(ldc));
    });
}

void parallelGemmNN(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                    const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc) {
    tiled(m, n, [&](std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(r1 - r0),
                    static_cast<blasint>(c1 - c0), static_cast<blasint>(k), 1.0f, a + r0 * lda,
                    static_cast<blasint>(lda), b + c0, static_cast<blasint>(ldb), beta,
                    c + r0 * ldc + c0, static_cast<blasint>(ldc));
    });
}

}  // namespace ml::whisper
