#include "ml/whisper/EncoderKernel.h"

#include <cblas.h>

#include <fmt/format.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../VectorMath.h"
#include "ParallelGemm.h"
#include "ParallelRows.h"
#include "WeightLoader.h"
#include "WorkingBlocks.h"

namespace ml::whisper {

namespace {

// The matrices stay as the weights file holds them (in place when it is mapped) and are widened
// to float just before each product, into a buffer that the next product reuses: a float copy of
// every matrix would double the model's resident size. Norms and biases are widened once.
struct EncoderLayer {
    Norm ln1;
    Weights qWeight, kWeight, vWeight;  // each [d × d]
    std::vector<float> qkvBias;         // [3d]: q (pre-scaled by 1/√head), k (none), v
    Weights outWeight;
    std::vector<float> outBias;
    Norm ln2;
    FeedForward ffn;
};

// Widens w into out[0, w.size()) across the pool.
void widen(const Weights& w, float* out) {
    constexpr std::size_t kBlock = 1 << 14;
    WorkerPool::shared().run((w.size() + kBlock - 1) / kBlock, [&](std::size_t block) {
        const std::size_t first = block * kBlock;
        w.widen(first, std::min(kBlock, w.size() - first), out + first);
    });
}

// Widens the query, key and value projections into one [3d × d] matrix, the query scaled by
// `scale` (folding 1/√head into it saves scaling every attention score).
void widenQkv(const EncoderLayer& layer, std::size_t d, float scale, float* out) {
    widen(layer.qWeight, out);
    widen(layer.kWeight, out + d * d);
    widen(layer.vWeight, out + 2 * d * d);
    parallelRows(d, [&](std::size_t b, std::size_t e) {
        for (float* v = out + b * d; v != out + e * d; ++v)
            *v *= scale;
    });
}

// Widens a convolution weight [out][in][k] into [out][k][in], so that the three input frames a
// kernel position reads are one contiguous run of the time-major activations.
void widenKernelMajor(const Weights& w, std::size_t out, std::size_t in, std::size_t k, float* r) {
    parallelRows(out, [&](std::size_t b, std::size_t e) {
        std::vector<float> row(in * k);
        for (std::size_t o = b; o < e; ++o) {
            w.widen(o * in * k, in * k, row.data());
            for (std::size_t c = 0; c < in; ++c) {
                for (std::size_t j = 0; j < k; ++j)
                    r[(o * k + j) * in + c] = row[c * k + j];
            }
        }
    });
}

// Blocks of rows for a product over m rows that keep exactly the tiles of one product over all
// of them, so that every element comes out as before, while the block's own operands need room
// for half the rows only.
std::size_t rowBlocks(std::size_t m) {
    const auto tiles = [](std::size_t rows) {
        return std::max<std::size_t>(1, (rows + kTileRows / 2) / kTileRows);
    };
    constexpr std::size_t kBlocks = 2;
    return m % kBlocks == 0 && tiles(m) == kBlocks * tiles(m / kBlocks) ? kBlocks : 1;
}

// Rows of queries per attention task: their scores against every frame stay in L2.
constexpr std::size_t kQueryBlock = 64;

// Epilogues run on each finished product tile: bias, then optionally GELU, on its part of every
// row.
struct AddBias {
    float* c;
    std::size_t ldc;
    const float* bias;
    bool gelu = false;
    void operator()(std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) const {
        for (std::size_t r = r0; r < r1; ++r) {
            float* row = c + r * ldc + c0;
            vec::add(bias + c0, row, c1 - c0);
            if (gelu)
                vec::gelu(row, c1 - c0);
        }
    }
};

void layerNormRows(const float* x, const std::vector<float>& gamma, const std::vector<float>& beta,
                   float* out, std::size_t rows, std::size_t width) {
    parallelRows(rows, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r) {
            vec::layerNorm(x + r * width, gamma.data(), beta.data(), out + r * width, width);
        }
    });
}

}  // namespace

struct EncoderKernel::Impl {
    WhisperHyperParameters params;
    std::size_t mels, width, frames, inFrames, heads, headWidth, ffn;
    float scale;
    std::shared_ptr<const void> weightsOwner;  // keeps in-place weights mapped
    Weights conv1Weight, conv2Weight, positions;
    std::vector<float> conv1Bias, conv2Bias;
    std::vector<EncoderLayer> layers;
    Norm ln;

    // Activations of one window and the widened weights of the product at hand, in one working
    // block taken for the call. The convolutions' buffers and the layers' share their room:
    // neither is needed once the other runs.
    void run(std::span<const float> mel, std::span<Float16> out) const;
};

EncoderKernel::EncoderKernel(const WhisperHyperParameters& params,
                             std::span<const SafetensorsTensor> weights,
                             std::shared_ptr<const void> weightsOwner)
    : impl_(std::make_unique<Impl>()) {
    params.validate();
    Impl& m = *impl_;
    m.params = params;
    m.mels = params.numMelBins;
    m.width = params.dModel;
    m.frames = params.maxSourcePositions;
    m.inFrames = 2 * m.frames;
    m.heads = params.encoderAttentionHeads;
    m.headWidth = m.width / m.heads;
    m.ffn = params.encoderFfnDim;
    const std::size_t d = m.width;

    m.weightsOwner = std::move(weightsOwner);
    const WeightLoader w(weights, m.weightsOwner != nullptr);
    const std::string p = "model.encoder.";
    m.conv1Weight = w.exactWeights(p + "conv1.weight", {d, m.mels, 3});
    m.conv1Bias = w.floats(p + "conv1.bias", {d});
    m.conv2Weight = w.exactWeights(p + "conv2.weight", {d, d, 3});
    m.conv2Bias = w.floats(p + "conv2.bias", {d});
    m.positions = w.exactWeights(p + "embed_positions.weight", {m.frames, d});
    m.ln = w.norm(p + "layer_norm.", d);

    m.scale = 1.0f / std::sqrt(static_cast<float>(m.headWidth));
    for (std::size_t l = 0; l < params.encoderLayers; ++l) {
        const std::string q = p + "layers." + std::to_string(l) + ".";
        EncoderLayer layer;
        layer.ln1 = w.norm(q + "self_attn_layer_norm.", d);
        layer.qWeight = w.exactWeights(q + "self_attn.q_proj.weight", {d, d});
        layer.kWeight = w.exactWeights(q + "self_attn.k_proj.weight", {d, d});
        layer.vWeight = w.exactWeights(q + "self_attn.v_proj.weight", {d, d});
        layer.qkvBias = w.qkvBias(q + "self_attn.", d, m.scale);
        layer.outWeight = w.exactWeights(q + "self_attn.out_proj.weight", {d, d});
        layer.outBias = w.floats(q + "self_attn.out_proj.bias", {d});
        layer.ln2 = w.norm(q + "final_layer_norm.", d);
        layer.ffn = w.feedForward(q, d, m.ffn, false);
        m.layers.push_back(std::move(layer));
    }
}

EncoderKernel::EncoderKernel(EncoderKernel&&) noexcept = default;
EncoderKernel& EncoderKernel::operator=(EncoderKernel&&) noexcept = default;
EncoderKernel::~EncoderKernel() = default;

const WhisperHyperParameters& EncoderKernel::hyperParameters() const {
    return impl_->params;
}
std::size_t EncoderKernel::inputFrames() const {
    return impl_->inFrames;
}
std::size_t EncoderKernel::outputFrames() const {
    return impl_->frames;
}

double EncoderKernel::flopsPerWindow() const {
    const Impl& m = *impl_;
    const double t = static_cast<double>(m.frames), d = static_cast<double>(m.width);
    const double conv =
        2.0 * static_cast<double>(m.inFrames) * d * 3.0 * static_cast<double>(m.mels) +
        2.0 * t * d * 3.0 * d;
    const double layer = 2.0 * t * d * 3.0 * d    // q, k, v
                         + 2.0 * 2.0 * t * t * d  // scores and weighted values
                         + 2.0 * t * d * d        // output projection
                         + 2.0 * 2.0 * t * d * static_cast<double>(m.ffn);  // feed-forward
    return conv + layer * static_cast<double>(m.layers.size());
}

void EncoderKernel::encode(std::span<const float> mel, std::span<Float16> out) const {
    const Impl& m = *impl_;
    if (mel.size() != m.mels * m.inFrames) {
        throw WhisperKernelError(fmt::format("encoder input has {} elements, expected {} × {}",
                                             mel.size(), m.mels, m.inFrames));
    }
    if (out.size() != m.width * m.frames) {
        throw WhisperKernelError(fmt::format("encoder output has {} elements, expected {} × {}",
                                             out.size(), m.width, m.frames));
    }
    singleThreadedBlas();
    m.run(mel, out);
}

void EncoderKernel::Impl::run(std::span<const float> mel, std::span<Float16> out) const {
    const std::size_t d = width, t = frames, c = mels;
    // Every buffer starts on a cache line.
    const auto room = [](std::size_t floats) { return (floats + 15) / 16 * 16; };
    const std::size_t xRoom = room(t * d);
    const std::size_t weightRoom = room(std::max({3 * d * c, 3 * d * d, ffn * d}));
    // The convolutions: padded mel, columns and padded conv1 output.
    const std::size_t melRoom = room((inFrames + 2) * c);
    // conv2 and the feed-forward layers run in blocks of frames.
    const std::size_t blocks = rowBlocks(t), blockRows = t / blocks;
    const std::size_t columnsRoom = room(std::max(inFrames * 3 * c, blockRows * 3 * d));
    const std::size_t conv1Room = room((inFrames + 2) * d);
    const std::size_t convRoom = melRoom + columnsRoom + conv1Room;
    // The layers: normed input (where the attention output goes once q, k and v are made from
    // it), then q, k and v or the feed-forward hidden layer (never needed at once).
    const std::size_t layerRoom = room(t * d) + room(std::max(t * 3 * d, blockRows * ffn));
    // Every element is written before it is read: the block's earlier contents never matter.
    WorkingBlock block =
        takeWorkingBlock((xRoom + weightRoom + std::max(convRoom, layerRoom)) * sizeof(float));
    float* const arena = block.as<float>();
    float* const shared = arena + xRoom + weightRoom;
    float* const weight = arena + xRoom;
    float* const columns = shared + melRoom;

    // Time-major mel with one zero frame on each side (the convolution's padding).
    float* xm = shared;
    std::fill_n(xm, c, 0.0f);
    std::fill_n(xm + (inFrames + 1) * c, c, 0.0f);
    parallelRows(inFrames, [&](std::size_t b, std::size_t e) {
        for (std::size_t f = b; f < e; ++f) {
            for (std::size_t band = 0; band < c; ++band) {
                xm[(f + 1) * c + band] = mel[band * inFrames + f];
            }
        }
    });
    // conv1: output frame f reads padded frames f .. f + 2, already one contiguous run.
    parallelRows(inFrames, [&](std::size_t b, std::size_t e) {
        for (std::size_t f = b; f < e; ++f) {
            std::memcpy(columns + f * 3 * c, xm + f * c, 3 * c * sizeof(float));
        }
    });
    float* h1 = shared + melRoom + columnsRoom;
    std::fill_n(h1, d, 0.0f);
    std::fill_n(h1 + (inFrames + 1) * d, d, 0.0f);
    widenKernelMajor(conv1Weight, d, c, 3, weight);
    parallelGemm(inFrames, d, 3 * c, columns, 3 * c, weight, 3 * c, true, 0.0f, h1 + d, d,
                 AddBias{h1 + d, d, conv1Bias.data(), true});

    float* x = arena;
    widenKernelMajor(conv2Weight, d, d, 3, weight);
    for (std::size_t first = 0; first < t; first += blockRows) {
        // conv2 with stride 2: output frame f reads padded frames 2f .. 2f + 2.
        parallelRows(blockRows, [&](std::size_t b, std::size_t e) {
            for (std::size_t f = b; f < e; ++f) {
                std::memcpy(columns + f * 3 * d, h1 + 2 * (first + f) * d, 3 * d * sizeof(float));
            }
        });
        float* xBlock = x + first * d;
        parallelGemm(blockRows, d, 3 * d, columns, 3 * d, weight, 3 * d, true, 0.0f, xBlock, d,
                     [&](std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
                         AddBias{xBlock, d, conv2Bias.data(), true}(r0, r1, c0, c1);
                         // The positions are widened where they are added (exact either way).
                         std::vector<float> position(c1 - c0);
                         for (std::size_t f = r0; f < r1; ++f) {
                             positions.widen((first + f) * d + c0, c1 - c0, position.data());
                             vec::add(position.data(), xBlock + f * d + c0, c1 - c0);
                         }
                     });
    }

    float* h = shared;
    float* att = h;
    float* qkv = shared + room(t * d);
    float* hidden = qkv;
    for (const EncoderLayer& layer : layers) {
        layerNormRows(x, layer.ln1.gamma, layer.ln1.beta, h, t, d);
        widenQkv(layer, d, scale, weight);
        parallelGemm(t, 3 * d, d, h, d, weight, d, true, 0.0f, qkv, 3 * d,
                     AddBias{qkv, 3 * d, layer.qkvBias.data()});
        // One task per head and block of queries: scores, softmax and weighted values of the
        // block in one go, while its scores are still in cache.
        const std::size_t blocks = (t + kQueryBlock - 1) / kQueryBlock;
        WorkerPool::shared().run(heads * blocks, [&](std::size_t task) {
            float* const scores = threadScratch(kQueryBlock * t);
            const std::size_t head = task / blocks, r0 = (task % blocks) * kQueryBlock;
            const std::size_t rows = std::min(kQueryBlock, t - r0);
            const float* q = qkv + r0 * 3 * d + head * headWidth;
            const float* k = qkv + d + head * headWidth;
            const float* v = qkv + 2 * d + head * headWidth;
            blas().sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(rows),
                         static_cast<blasint>(t), static_cast<blasint>(headWidth), 1.0f, q,
                         static_cast<blasint>(3 * d), k, static_cast<blasint>(3 * d), 0.0f, scores,
                         static_cast<blasint>(t));
            for (std::size_t r = 0; r < rows; ++r)
                vec::softmax(scores + r * t, t);
            blas().sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(rows),
                         static_cast<blasint>(headWidth), static_cast<blasint>(t), 1.0f, scores,
                         static_cast<blasint>(t), v, static_cast<blasint>(3 * d), 0.0f,
                         att + r0 * d + head * headWidth, static_cast<blasint>(d));
        });
        widen(layer.outWeight, weight);
        parallelGemm(t, d, d, att, d, weight, d, true, 1.0f, x, d,
                     AddBias{x, d, layer.outBias.data()});

        layerNormRows(x, layer.ln2.gamma, layer.ln2.beta, h, t, d);
        for (std::size_t first = 0; first < t; first += blockRows) {
            // Both matrices are widened per block: the buffer holds one at a time, and the
            // widening is a small share of a block's products.
            float* xBlock = x + first * d;
            widen(layer.ffn.fc1, weight);
            parallelGemm(blockRows, ffn, d, h + first * d, d, weight, d, true, 0.0f, hidden, ffn,
                         AddBias{hidden, ffn, layer.ffn.fc1Bias.data(), true});
            widen(layer.ffn.fc2, weight);
            parallelGemm(blockRows, d, ffn, hidden, ffn, weight, ffn, true, 1.0f, xBlock, d,
                         AddBias{xBlock, d, layer.ffn.fc2Bias.data()});
        }
    }

    layerNormRows(x, ln.gamma, ln.beta, h, t, d);
    // Channel-major half-precision output, transposed in tiles that stay in cache.
    constexpr std::size_t kTile = 64;
    const std::size_t channelTiles = (d + kTile - 1) / kTile;
    const std::size_t frameTiles = (t + kTile - 1) / kTile;
    WorkerPool::shared().run(channelTiles * frameTiles, [&](std::size_t tile) {
        const std::size_t c0 = (tile / frameTiles) * kTile, f0 = (tile % frameTiles) * kTile;
        const std::size_t c1 = std::min(d, c0 + kTile), f1 = std::min(t, f0 + kTile);
        float column[kTile];
        for (std::size_t ch = c0; ch < c1; ++ch) {
            for (std::size_t f = f0; f < f1; ++f)
                column[f - f0] = h[f * d + ch];
            convertToFloat16(column, out.data() + ch * t + f0, f1 - f0);
        }
    });
    giveWorkingBlock(std::move(block));
}

}  // namespace ml::whisper
