#include "ml/whisper/DecoderKernel.h"

#include <fmt/format.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../VectorMath.h"
#include "HalfVector.h"
#include "ParallelGemm.h"
#include "ParallelRows.h"
#include "WeightLoader.h"
#include "WorkingBlocks.h"

namespace ml::whisper {

namespace {

// Encoder outputs whose cross-attention keys and values stay cached: enough for the windows a
// batch transcribes in parallel.
constexpr std::size_t kCrossCacheEntries = 4;
// Padding-mask values at or below this hide a slot completely: e^-1000 is zero in float.
constexpr float kHiddenSlot = -1000.0f;

// The matrices stay in half precision where the weights file holds them; norms and biases are
// widened (a few kilobytes).
struct DecoderLayer {
    Norm ln1;
    Weights selfQkv;  // [3d × d]: q, k, v
    std::vector<float> selfQkvBias;
    Weights selfOut;
    std::vector<float> selfOutBias;
    Norm ln2;
    Weights crossQ;
    std::vector<float> crossQBias;
    Weights crossK, crossV;  // exact source values: widened once per encoder output
    std::vector<float> crossVBias;
    Weights crossOut;
    std::vector<float> crossOutBias;
    Norm ln3;
    FeedForward ffn;
};

bool sameBytes(std::span<const Float16> a, std::span<const Float16> b) {
    if (a.size() != b.size())
        return false;
    constexpr std::size_t kChunk = 1 << 15;
    const std::size_t chunks = (a.size() + kChunk - 1) / kChunk;
    std::atomic<bool> same{true};
    WorkerPool::shared().run(chunks, [&](std::size_t i) {
        if (!same.load(std::memory_order_relaxed))
            return;
        const std::size_t begin = i * kChunk, n = std::min(kChunk, a.size() - begin);
        if (std::memcmp(a.data() + begin, b.data() + begin, n * sizeof(Float16)) != 0) {
            same.store(false, std::memory_order_relaxed);
        }
    });
    return same.load();
}

// y = W x (+ bias), rows split across the workers in blocks of at least ~32 KB of weights.
void project(const Weights& w, std::size_t rows, std::size_t cols, const float* x,
             const std::vector<float>& bias, float* y) {
    parallelRows(
        rows,
        [&](std::size_t b, std::size_t e) {
            gemvHalf(w.data(), cols, x, b, e, y + b);
            vec::add(bias.data() + b, y + b, e - b);
        },
        std::max<std::size_t>(4, (std::size_t{1} << 14) / cols));
}

}  // namespace

// Cross-attention keys and values of one encoder output, channel-major like the encoder output
// itself: [layer][channel][frame]. They live in a working block, which goes back for the next
// window's encoder (or cross-attention) when this is released: fresh pages cost a fault each.
struct CrossAttention {
    const void* kernel = nullptr;  // the kernel's Impl that computed it
    std::vector<Float16> encoder;
    WorkingBlock block;
    const Float16* keys = nullptr;
    const Float16* values = nullptr;

    CrossAttention() = default;
    CrossAttention(const CrossAttention&) = delete;
    CrossAttention& operator=(const CrossAttention&) = delete;
    ~CrossAttention() { giveWorkingBlock(std::move(block)); }
};

struct DecoderKernel::Impl {
    WhisperHyperParameters params;
    std::size_t vocab, width, layerCount, heads, headWidth, frames, ffn, maxPositions;
    float scale;
    std::shared_ptr<const void> weightsOwner;  // keeps in-place weights mapped
    Weights embedTokens;
    Weights positions;  // exact source values, widened one row per step
    std::vector<DecoderLayer> layers;
    Norm ln;

    mutable std::mutex crossMutex;
    mutable std::list<std::shared_ptr<const CrossAttention>> crossEntries;  // most recent first

    // `keep`: whether later steps given only the encoder output should find the result (the
    // caller does not keep it itself).
    std::shared_ptr<const CrossAttention> crossFor(std::span<const Float16> encoder,
                                                   bool keep) const;
    void run(const DecoderStepInputs& in, const DecoderStepOutputs& out, std::size_t slots) const;
};

DecoderKernel::DecoderKernel(const WhisperHyperParameters& params,
                             std::span<const SafetensorsTensor> weights,
                             std::shared_ptr<const void> weightsOwner)
    : impl_(std::make_unique<Impl>()) {
    params.validate();
    Impl& m = *impl_;
    m.params = params;
    m.vocab = params.vocabSize;
    m.width = params.dModel;
    m.layerCount = params.decoderLayers;
    m.heads = params.decoderAttentionHeads;
    m.headWidth = m.width / m.heads;
    m.frames = params.maxSourcePositions;
    m.ffn = params.decoderFfnDim;
    m.maxPositions = params.maxTargetPositions;
    m.scale = 1.0f / std::sqrt(static_cast<float>(m.headWidth));
    const std::size_t d = m.width;

    m.weightsOwner = std::move(weightsOwner);
    const WeightLoader w(weights, m.weightsOwner != nullptr);
    const std::string p = "model.decoder.";
    m.embedTokens = w.halfWeights(p + "embed_tokens.weight", {m.vocab, d});
    m.positions = w.exactWeights(p + "embed_positions.weight", {m.maxPositions, d});
    m.ln = w.norm(p + "layer_norm.", d);

    for (std::size_t l = 0; l < m.layerCount; ++l) {
        const std::string q = p + "layers." + std::to_string(l) + ".";
        DecoderLayer layer;
        layer.ln1 = w.norm(q + "self_attn_layer_norm.", d);
        layer.selfQkv =
            w.stackedHalfWeights({q + "self_attn.q_proj.weight", q + "self_attn.k_proj.weight",
                                  q + "self_attn.v_proj.weight"},
                                 {d, d});
        layer.selfQkvBias = w.qkvBias(q + "self_attn.", d, 1.0f);
        layer.selfOut = w.halfWeights(q + "self_attn.out_proj.weight", {d, d});
        layer.selfOutBias = w.floats(q + "self_attn.out_proj.bias", {d});
        layer.ln2 = w.norm(q + "encoder_attn_layer_norm.", d);
        layer.crossQ = w.halfWeights(q + "encoder_attn.q_proj.weight", {d, d});
        layer.crossQBias = w.floats(q + "encoder_attn.q_proj.bias", {d});
        layer.crossK = w.exactWeights(q + "encoder_attn.k_proj.weight", {d, d});
        layer.crossV = w.exactWeights(q + "encoder_attn.v_proj.weight", {d, d});
        layer.crossVBias = w.floats(q + "encoder_attn.v_proj.bias", {d});
        layer.crossOut = w.halfWeights(q + "encoder_attn.out_proj.weight", {d, d});
        layer.crossOutBias = w.floats(q + "encoder_attn.out_proj.bias", {d});
        layer.ln3 = w.norm(q + "final_layer_norm.", d);
        layer.ffn = w.feedForward(q, d, m.ffn, true);
        m.layers.push_back(std::move(layer));
    }
}

DecoderKernel::DecoderKernel(DecoderKernel&&) noexcept = default;
DecoderKernel& DecoderKernel::operator=(DecoderKernel&&) noexcept = default;
DecoderKernel::~DecoderKernel() = default;

const WhisperHyperParameters& DecoderKernel::hyperParameters() const {
    return impl_->params;
}
std::size_t DecoderKernel::vocabularySize() const {
    return impl_->vocab;
}
std::size_t DecoderKernel::kvCacheEmbedDim() const {
    return impl_->layerCount * impl_->width;
}
std::size_t DecoderKernel::encoderFrames() const {
    return impl_->frames;
}

std::size_t DecoderKernel::stepWeightBytes() const {
    const Impl& m = *impl_;
    const std::size_t d = m.width;
    // Per layer: q, k, v, out of self-attention, q and out of cross-attention, two feed-forward
    // matrices, all in half precision; then the tied output projection.
    const std::size_t perLayer = (6 * d * d + 2 * d * m.ffn) * sizeof(Float16);
    return m.layerCount * perLayer + m.vocab * d * sizeof(Float16);
}

std::shared_ptr<const CrossAttention> DecoderKernel::Impl::crossFor(
    std::span<const Float16> encoder, bool keep) const {
    {
        std::lock_guard<std::mutex> lock(crossMutex);
        for (auto it = crossEntries.begin(); it != crossEntries.end(); ++it) {
            if (sameBytes((*it)->encoder, encoder)) {
                crossEntries.splice(crossEntries.begin(), crossEntries, it);
                return crossEntries.front();
            }
        }
    }
    // Computed outside the lock: another thread may do the same work for the same encoder
    // output at the same time, which costs time but never correctness.
    const std::size_t d = width, t = frames;
    auto entry = std::make_shared<CrossAttention>();
    entry->kernel = this;
    if (keep)
        entry->encoder.assign(encoder.begin(), encoder.end());
    // Keys and values, then the widened encoder output of one column tile at a time (needed only
    // while that tile's products are taken). Every element is written below before it is read.
    const TileGrid grid(d, t);
    std::size_t widestTile = 0;
    for (std::size_t j = 0; j < grid.columnTiles; ++j)
        widestTile = std::max(widestTile, grid.columnBegin(j + 1) - grid.columnBegin(j));
    const std::size_t arrayBytes = layerCount * d * t * sizeof(Float16);
    entry->block = takeWorkingBlock(2 * arrayBytes + d * widestTile * sizeof(float));
    Float16* const keys = entry->block.as<Float16>();
    Float16* const values = entry->block.as<Float16>(arrayBytes);
    float* const wide = entry->block.as<float>(2 * arrayBytes);
    entry->keys = keys;
    entry->values = values;
    singleThreadedBlas();
    // Per layer, [d × d] · [d × t]: channel-major in, channel-major out, stored in half precision.
    // The tiles are those of one product over whole arrays, so every element comes out as such a
    // product gives it; they are only taken a column tile at a time. Each tile widens its own rows
    // of the projection and takes its product in the worker's scratch.
    for (std::size_t j = 0; j < grid.columnTiles; ++j) {
        const std::size_t c0 = grid.columnBegin(j), c1 = grid.columnBegin(j + 1);
        const std::size_t columns = c1 - c0;
        if (columns == 0)
            continue;
        parallelRows(d, [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c < e; ++c)
                convertToFloat(encoder.data() + c * t + c0, wide + c * columns, columns);
        });
        WorkerPool::shared().run(layerCount * 2 * grid.rowTiles, [&](std::size_t task) {
            const std::size_t l = task / (2 * grid.rowTiles);
            const bool isValue = (task / grid.rowTiles) % 2 == 1;
            const std::size_t r0 = grid.rowBegin(task % grid.rowTiles);
            const std::size_t rows = grid.rowBegin(task % grid.rowTiles + 1) - r0;
            if (rows == 0)
                return;
            const DecoderLayer& layer = layers[l];
            Float16* const target = (isValue ? values : keys) + l * d * t;
            float* const rowsOfA = threadScratch(rows * d + rows * columns);
            float* const tile = rowsOfA + rows * d;
            (isValue ? layer.crossV : layer.crossK).widen(r0 * d, rows * d, rowsOfA);
            blas().sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(rows),
                         static_cast<blasint>(columns), static_cast<blasint>(d), 1.0f, rowsOfA,
                         static_cast<blasint>(d), wide, static_cast<blasint>(columns), 0.0f, tile,
                         static_cast<blasint>(columns));
            for (std::size_t r = 0; r < rows; ++r) {
                float* row = tile + r * columns;
                if (isValue) {
                    for (std::size_t f = 0; f < columns; ++f)
                        row[f] += layer.crossVBias[r0 + r];
                }
                convertToFloat16(row, target + (r0 + r) * t + c0, columns);
            }
        });
    }
    if (!keep)
        return entry;
    std::lock_guard<std::mutex> lock(crossMutex);
    crossEntries.push_front(entry);
    if (crossEntries.size() > kCrossCacheEntries)
        crossEntries.pop_back();
    return entry;
}

std::shared_ptr<const CrossAttention> DecoderKernel::crossAttention(
    std::span<const Float16> encoder) const {
    const Impl& m = *impl_;
    if (encoder.size() != m.width * m.frames) {
        throw WhisperKernelError(fmt::format("encoder output has {} elements, expected {}",
                                             encoder.size(), m.width * m.frames));
    }
    return m.crossFor(encoder, false);
}

void DecoderKernel::step(const DecoderStepInputs& in, const DecoderStepOutputs& out) const {
    const Impl& m = *impl_;
    const std::size_t e = m.layerCount * m.width;
    if (in.keyCache.empty() || in.keyCache.size() % e != 0) {
        throw WhisperKernelError(fmt::format(
            "key cache has {} elements, not a positive multiple of {}", in.keyCache.size(), e));
    }
    const std::size_t slots = in.keyCache.size() / e;
    const auto expect = [&](const char* what, std::size_t got, std::size_t want) {
        if (got != want) {
            throw WhisperKernelError(
                fmt::format("{} has {} elements, expected {}", what, got, want));
        }
    };
    expect("value cache", in.valueCache.size(), in.keyCache.size());
    expect("cache update mask", in.kvCacheUpdateMask.size(), slots);
    expect("key padding mask", in.decoderKeyPaddingMask.size(), slots);
    expect("encoder output", in.encoderOutputEmbeds.size(), m.width * m.frames);
    expect("logits", out.logits.size(), m.vocab);
    expect("key cache updates", out.keyCacheUpdates.size(), e);
    expect("value cache updates", out.valueCacheUpdates.size(), e);
    if (!out.alignmentHeadsWeights.empty()) {
        expect("alignment weights", out.alignmentHeadsWeights.size(), m.frames);
    }
    if (in.inputId < 0 || static_cast<std::size_t>(in.inputId) >= m.vocab) {
        throw WhisperKernelError(
            fmt::format("token id {} is outside the vocabulary of {}", in.inputId, m.vocab));
    }
    if (in.cacheLength < 0 || static_cast<std::size_t>(in.cacheLength) >= m.maxPositions) {
        throw WhisperKernelError(fmt::format("position {} is outside the {} learned positions",
                                             in.cacheLength, m.maxPositions));
    }
    if (in.crossAttention != nullptr && in.crossAttention->kernel != impl_.get()) {
        throw WhisperKernelError("the cross-attention was computed by another decoder kernel");
    }
    m.run(in, out, slots);
}

void DecoderKernel::Impl::run(const DecoderStepInputs& in, const DecoderStepOutputs& out,
                              std::size_t slots) const {
    const std::size_t d = width, t = frames, dh = headWidth;
    std::shared_ptr<const CrossAttention> found;
    if (in.crossAttention == nullptr)
        found = crossFor(in.encoderOutputEmbeds, true);
    const CrossAttention* cross = found ? found.get() : in.crossAttention;

    // The attended slots: those the padding mask leaves open, or all when it hides every one.
    std::vector<float> bias(slots);
    convertToFloat(in.decoderKeyPaddingMask.data(), bias.data(), slots);
    std::size_t lo = slots, hi = 0;
    for (std::size_t s = 0; s < slots; ++s) {
        if (bias[s] > kHiddenSlot) {
            lo = std::min(lo, s);
            hi = s + 1;
        }
    }
    const bool allHidden = lo == slots;
    if (allHidden) {
        lo = 0;
        hi = slots;
    }
    const std::size_t span = hi - lo;
    std::vector<float> slotBias(bias.begin() + static_cast<long>(lo),
                                bias.begin() + static_cast<long>(hi));
    std::vector<char> isUpdate(span, 0);
    if (!allHidden) {
        for (float& b : slotBias)
            b = b > kHiddenSlot ? b : -INFINITY;
    }
    for (std::size_t s = lo; s < hi; ++s)
        isUpdate[s - lo] = in.kvCacheUpdateMask[s] != 0;

    std::vector<float> x(d), h(d), qkv(3 * d), attended(d), y(std::max(d, ffn));
    std::vector<float> selfScores(heads * span), crossScores(heads * t);
    std::vector<float> alignment(out.alignmentHeadsWeights.empty() ? 0 : t, 0.0f);

    convertToFloat(embedTokens.data() + static_cast<std::size_t>(in.inputId) * d, x.data(), d);
    positions.widen(static_cast<std::size_t>(in.cacheLength) * d, d, h.data());
    vec::add(h.data(), x.data(), d);

    for (std::size_t l = 0; l < layerCount; ++l) {
        const DecoderLayer& layer = layers[l];
        const std::size_t row0 = l * d;

        // Masked self-attention over the cache, with this token's key and value in the slots
        // the update mask marks.
        vec::layerNorm(x.data(), layer.ln1.gamma.data(), layer.ln1.beta.data(), h.data(), d);
        project(layer.selfQkv, 3 * d, d, h.data(), layer.selfQkvBias, qkv.data());
        const float* q = qkv.data();
        const float* k = qkv.data() + d;
        const float* v = qkv.data() + 2 * d;
        convertToFloat16(k, out.keyCacheUpdates.data() + row0, d);
        convertToFloat16(v, out.valueCacheUpdates.data() + row0, d);
        WorkerPool::shared().run(heads, [&](std::size_t head) {
            const std::size_t c0 = head * dh;
            float* scores = selfScores.data() + head * span;
            std::fill_n(scores, span, 0.0f);
            for (std::size_t c = 0; c < dh; ++c) {
                axpyHalf(q[c0 + c] * scale, in.keyCache.data() + (row0 + c0 + c) * slots + lo,
                         scores, span);
            }
            const float own = vec::dot(q + c0, k + c0, dh) * scale;
            for (std::size_t s = 0; s < span; ++s) {
                if (isUpdate[s])
                    scores[s] = own;
                scores[s] += slotBias[s];
            }
            vec::softmax(scores, span);
            float ownWeight = 0;
            for (std::size_t s = 0; s < span; ++s) {
                if (isUpdate[s]) {
                    ownWeight += scores[s];
                    scores[s] = 0;
                }
            }
            for (std::size_t c = 0; c < dh; ++c) {
                attended[c0 + c] =
                    dotHalf(scores, in.valueCache.data() + (row0 + c0 + c) * slots + lo, span) +
                    ownWeight * v[c0 + c];
            }
        });
        project(layer.selfOut, d, d, attended.data(), layer.selfOutBias, y.data());
        vec::add(y.data(), x.data(), d);

        // Cross-attention over the encoder frames.
        vec::layerNorm(x.data(), layer.ln2.gamma.data(), layer.ln2.beta.data(), h.data(), d);
        project(layer.crossQ, d, d, h.data(), layer.crossQBias, qkv.data());
        const Float16* keys = cross->keys + row0 * t;
        const Float16* values = cross->values + row0 * t;
        WorkerPool::shared().run(heads, [&](std::size_t head) {
            const std::size_t c0 = head * dh;
            float* scores = crossScores.data() + head * t;
            std::fill_n(scores, t, 0.0f);
            for (std::size_t c = 0; c < dh; ++c) {
                axpyHalf(q[c0 + c] * scale, keys + (c0 + c) * t, scores, t);
            }
            vec::softmax(scores, t);
            for (std::size_t c = 0; c < dh; ++c) {
                attended[c0 + c] = dotHalf(scores, values + (c0 + c) * t, t);
            }
        });
        if (!alignment.empty()) {
            for (const auto& [layerIndex, head] : params.alignmentHeads) {
                if (layerIndex == l)
                    vec::add(crossScores.data() + head * t, alignment.data(), t);
            }
        }
        project(layer.crossOut, d, d, attended.data(), layer.crossOutBias, y.data());
        vec::add(y.data(), x.data(), d);

        // Feed-forward.
        vec::layerNorm(x.data(), layer.ln3.gamma.data(), layer.ln3.beta.data(), h.data(), d);
        parallelRows(
            ffn,
            [&](std::size_t b, std::size_t e) {
                gemvHalf(layer.ffn.fc1.data(), d, h.data(), b, e, y.data() + b);
                vec::add(layer.ffn.fc1Bias.data() + b, y.data() + b, e - b);
                vec::gelu(y.data() + b, e - b);
            },
            std::max<std::size_t>(4, (std::size_t{1} << 14) / d));
        project(layer.ffn.fc2, d, ffn, y.data(), layer.ffn.fc2Bias, attended.data());
        vec::add(attended.data(), x.data(), d);
    }

    vec::layerNorm(x.data(), ln.gamma.data(), ln.beta.data(), h.data(), d);
    parallelRows(
        vocab,
        [&](std::size_t b, std::size_t e) {
            constexpr std::size_t kBlock = 256;
            float block[kBlock];
            for (std::size_t r = b; r < e; r += kBlock) {
                const std::size_t end = std::min(e, r + kBlock);
                gemvHalf(embedTokens.data(), d, h.data(), r, end, block);
                convertToFloat16(block, out.logits.data() + r, end - r);
            }
        },
        256);

    if (!alignment.empty()) {
        const float share = params.alignmentHeads.empty()
                                ? 0.0f
                                : 1.0f / static_cast<float>(params.alignmentHeads.size());
        for (float& a : alignment)
            a *= share;
        convertToFloat16(alignment.data(), out.alignmentHeadsWeights.data(), t);
    }
}

}  // namespace ml::whisper
