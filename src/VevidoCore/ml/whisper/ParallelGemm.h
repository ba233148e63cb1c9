#pragma once

// Matrix products for the kernels: each tile is one single-threaded SGEMM, and the tiles run on
// the kernels' worker pool. One pool owning every thread keeps BLAS's own spinning threads from
// competing with the pool's between products.

#include <cblas.h>

#include <algorithm>
#include <cstddef>

#include "WorkerPool.h"

namespace ml::whisper {

// The BLAS functions the kernels use. The library is opened on first use rather than linked: a
// process that never runs a model does not pay for loading it.
struct Blas {
    decltype(&::cblas_sgemm) sgemm = nullptr;
    decltype(&::openblas_get_num_threads) threads = nullptr;
    decltype(&::openblas_set_num_threads) setThreads = nullptr;
    int (*stopThreads)() = nullptr;
};
// The library's name at run time: the major version the headers describe.
constexpr const char* blasLibrary = "libopenblas.so.0";

// Loads BLAS on the first call (throwing std::runtime_error naming the library or the function it
// lacks) and makes it run single-threaded, with its own idle threads stopped, unless it already
// runs so. The kernels call it before their products: something else in the process (a
// benchmark's plain SGEMM) may have given BLAS threads of its own since. Cheap when nothing
// changed.
const Blas& singleThreadedBlas();
// The functions as loaded so far: for code that runs after singleThreadedBlas() has returned.
const Blas& blas() noexcept;

// The calling thread's working block of at least `floats` floats, kept for the thread's life and
// valid until its next call. Tasks on the pool's threads take their working data from it, so that
// every kernel's tasks share one block per thread instead of each keeping its own. Its contents
// are whatever the last user left.
float* threadScratch(std::size_t floats);

// Tiles of about this many rows and columns: big enough that packing stays a small share of a
// tile's work, small enough that every worker gets several.
constexpr std::size_t kTileRows = 96;
constexpr std::size_t kTileColumns = 384;

// The grid of tiles of a product over m × n.
struct TileGrid {
    std::size_t m, n, rowTiles, columnTiles;

    TileGrid(std::size_t m, std::size_t n)
        : m(m),
          n(n),
          rowTiles(std::max<std::size_t>(1, (m + kTileRows / 2) / kTileRows)),
          columnTiles(std::max<std::size_t>(1, (n + kTileColumns / 2) / kTileColumns)) {}

    std::size_t rowBegin(std::size_t i) const { return m * i / rowTiles; }
    // Column tiles on multiples of 16 keep the microkernel's vector loads whole.
    std::size_t columnBegin(std::size_t j) const {
        return j == columnTiles ? n : (n * j / columnTiles) & ~std::size_t{15};
    }
};

// Calls tile(r0, r1, c0, c1) for a grid of tiles covering m × n, across the pool.
template <typename Tile>
void forEachTile(std::size_t m, std::size_t n, Tile&& tile) {
    const TileGrid grid(m, n);
    WorkerPool::shared().run(grid.rowTiles * grid.columnTiles, [&](std::size_t t) {
        const std::size_t i = t / grid.columnTiles, j = t % grid.columnTiles;
        const std::size_t r0 = grid.rowBegin(i), r1 = grid.rowBegin(i + 1);
        const std::size_t c0 = grid.columnBegin(j), c1 = grid.columnBegin(j + 1);
        if (r1 > r0 && c1 > c0)
            tile(r0, r1, c0, c1);
    });
}

struct NoEpilogue {
    void operator()(std::size_t, std::size_t, std::size_t, std::size_t) const {}
};

// C[m × n] = A[m × k] · op(B) + beta · C (row-major, leading dimensions as given), where op(B)
// is B[n × k]ᵀ when transposeB, else B[k × n]. After each tile, epilogue(r0, r1, c0, c1) runs on
// the same thread while the tile is still in cache. Call singleThreadedBlas() first.
template <typename Epilogue = NoEpilogue>
void parallelGemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                  const float* b, std::size_t ldb, bool transposeB, float beta, float* c,
                  std::size_t ldc, Epilogue&& epilogue = {}) {
    forEachTile(m, n, [&](std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
        blas().sgemm(CblasRowMajor, CblasNoTrans, transposeB ? CblasTrans : CblasNoTrans,
                     static_cast<blasint>(r1 - r0), static_cast<blasint>(c1 - c0),
                     static_cast<blasint>(k), 1.0f, a + r0 * lda, static_cast<blasint>(lda),
                     transposeB ? b + c0 * ldb : b + c0, static_cast<blasint>(ldb), beta,
                     c + r0 * ldc + c0, static_cast<blasint>(ldc));
        epilogue(r0, r1, c0, c1);
    });
}

}  // namespace ml::whisper
