// How the decoder step treats its masks, its cache slots and the encoder output, on a small model
// with random weights (the numbers themselves are checked against the reference elsewhere).

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/DecoderKernel.h"

namespace {

using ml::Float16;
using ml::whisper::DecoderKernel;
using ml::whisper::WhisperKernelError;

ml::whisper::WhisperHyperParameters smallShape() {
    ml::whisper::WhisperHyperParameters p;
    p.dModel = 64;
    p.decoderLayers = 2;
    p.encoderAttentionHeads = p.decoderAttentionHeads = 4;
    p.decoderFfnDim = 256;
    p.vocabSize = 300;
    p.maxSourcePositions = 40;
    p.maxTargetPositions = 32;
    p.alignmentHeads = {{0, 1}, {1, 3}};
    return p;
}

std::vector<Float16> randomHalves(std::size_t n, float scale, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, scale);
    std::vector<Float16> v(n);
    for (auto& x : v)
        x = normal(rng);
    return v;
}

// Random decoder weights under the standard names.
class RandomDecoderWeights {
public:
    explicit RandomDecoderWeights(const ml::whisper::WhisperHyperParameters& p) {
        const std::size_t d = p.dModel;
        add("model.decoder.embed_tokens.weight", {p.vocabSize, d}, 0.5f);
        add("model.decoder.embed_positions.weight", {p.maxTargetPositions, d}, 0.5f);
        add("model.decoder.layer_norm.weight", {d}, 0.2f, 1.0f);
        add("model.decoder.layer_norm.bias", {d}, 0.2f);
        for (std::size_t l = 0; l < p.decoderLayers; ++l) {
            const std::string q = "model.decoder.layers." + std::to_string(l) + ".";
            for (const char* norm :
                 {"self_attn_layer_norm", "encoder_attn_layer_norm", "final_layer_norm"}) {
                add(q + norm + ".weight", {d}, 0.2f, 1.0f);
                add(q + norm + ".bias", {d}, 0.2f);
            }
            for (const char* attn : {"self_attn.", "encoder_attn."}) {
                for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
                    add(q + attn + proj + ".weight", {d, d}, 0.25f);
                    if (std::string(proj) != "k_proj")
                        add(q + attn + proj + ".bias", {d}, 0.2f);
                }
            }
            add(q + "fc1.weight", {p.decoderFfnDim, d}, 0.2f);
            add(q + "fc1.bias", {p.decoderFfnDim}, 0.2f);
            add(q + "fc2.weight", {d, p.decoderFfnDim}, 0.1f);
            add(q + "fc2.bias", {d}, 0.2f);
        }
    }
    const std::vector<ml::SafetensorsTensor>& tensors() const { return tensors_; }

private:
    void add(const std::string& name, std::vector<std::size_t> shape, float scale,
             float offset = 0.0f) {
        std::size_t n = 1;
        for (auto s : shape)
            n *= s;
        auto& data = storage_.emplace_back(randomHalves(n, scale, rng_));
        for (auto& x : data)
            x = float(x) + offset;
        tensors_.push_back({name, ml::SafetensorsDType::F16,
                            std::vector<std::int64_t>(shape.begin(), shape.end()),
                            std::as_bytes(std::span<const Float16>(data))});
    }

    std::mt19937 rng_{42};
    std::vector<std::vector<Float16>> storage_;
    std::vector<ml::SafetensorsTensor> tensors_;
};

// One step's arrays, with `history` earlier tokens already in slots 0 .. history-1 and the new
// token going to slot `history`.
struct Step {
    static constexpr std::size_t kSlots = 12;

    Step(const DecoderKernel& kernel, std::size_t history, std::mt19937& rng)
        : e(kernel.kvCacheEmbedDim()),
          keys(randomHalves(e * kSlots, 1.0f, rng)),
          values(randomHalves(e * kSlots, 1.0f, rng)),
          update(kSlots, 0),
          padding(kSlots, Float16::fromBits(0xF0E2)),
          logits(kernel.vocabularySize()),
          keyOut(e),
          valueOut(e),
          alignment(kernel.encoderFrames()) {
        update[history] = 1;
        std::fill_n(padding.begin(), history + 1, Float16(0.0f));
        position = static_cast<std::int32_t>(history);
    }

    void run(const DecoderKernel& kernel, std::span<const Float16> encoder,
             const ml::whisper::CrossAttention* cross = nullptr) {
        kernel.step({7, position, keys, values, update, encoder, padding, cross},
                    {logits, keyOut, valueOut, alignment});
    }

    std::vector<float> outputs() const {
        std::vector<float> all;
        for (const auto* v : {&logits, &keyOut, &valueOut, &alignment}) {
            for (auto x : *v)
                all.push_back(float(x));
        }
        return all;
    }

    std::size_t e;
    std::int32_t position = 0;
    std::vector<Float16> keys, values;
    std::vector<std::int32_t> update;
    std::vector<Float16> padding, logits, keyOut, valueOut, alignment;
};

class DecoderKernelTest : public ::testing::Test {
protected:
    DecoderKernelTest()
        : params_(smallShape()),
          weights_(params_),
          kernel_(params_, weights_.tensors()),
          encoder_(randomHalves(params_.dModel * params_.maxSourcePositions, 1.0f, rng_)) {}

    std::mt19937 rng_{9};
    ml::whisper::WhisperHyperParameters params_;
    RandomDecoderWeights weights_;
    DecoderKernel kernel_;
    std::vector<Float16> encoder_;
};

TEST_F(DecoderKernelTest, OnlyOpenSlotsAndTheNewTokenCount) {
    Step step(kernel_, 5, rng_);
    step.run(kernel_, encoder_);
    const auto expected = step.outputs();

    // Hidden slots and the slot the new token takes may hold anything.
    Step garbage = step;
    for (std::size_t row = 0; row < garbage.e; ++row) {
        for (std::size_t s = 5; s < Step::kSlots; ++s) {
            garbage.keys[row * Step::kSlots + s] = 1000.0f;
            garbage.values[row * Step::kSlots + s] = -1000.0f;
        }
    }
    garbage.run(kernel_, encoder_);
    EXPECT_EQ(garbage.outputs(), expected);

    // Attention has no notion of slot order: the same history in other slots, with the mask
    // opening those, gives the same step up to float rounding.
    Step moved = step;
    const std::size_t to[] = {11, 9, 2, 7, 0, 4};  // history slots 0..4 and the new slot 5
    std::fill(moved.update.begin(), moved.update.end(), 0);
    std::fill(moved.padding.begin(), moved.padding.end(), Float16::fromBits(0xF0E2));
    for (std::size_t s = 0; s < 6; ++s) {
        for (std::size_t row = 0; row < moved.e; ++row) {
            moved.keys[row * Step::kSlots + to[s]] = step.keys[row * Step::kSlots + s];
            moved.values[row * Step::kSlots + to[s]] = step.values[row * Step::kSlots + s];
        }
        moved.padding[to[s]] = 0.0f;
    }
    moved.update[to[5]] = 1;
    moved.run(kernel_, encoder_);
    const auto got = moved.outputs();
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i], expected[i], 2e-3 * (1 + std::abs(expected[i]))) << "output " << i;
    }

    // A mask value is added to the score: a slot at -2 counts less than one at 0, but counts.
    Step damped = step;
    damped.padding[2] = -2.0f;
    damped.run(kernel_, encoder_);
    EXPECT_NE(damped.outputs(), expected);
}

TEST_F(DecoderKernelTest, CrossAttentionFollowsTheEncoderOutputsContent) {
    Step step(kernel_, 3, rng_);
    step.run(kernel_, encoder_);
    const auto first = step.outputs();

    // The same buffer rewritten in place must not reuse what was derived from its old content.
    std::vector<Float16> buffer = encoder_;
    const auto other = randomHalves(buffer.size(), 1.0f, rng_);
    std::copy(other.begin(), other.end(), buffer.begin());
    step.run(kernel_, buffer);
    const auto second = step.outputs();
    const DecoderKernel fresh(params_, weights_.tensors());
    step.run(fresh, other);
    EXPECT_EQ(step.outputs(), second);
    EXPECT_NE(second, first);

    // A copy of the first output at another address gives the first result again.
    const std::vector<Float16> copy = encoder_;
    step.run(kernel_, copy);
    EXPECT_EQ(step.outputs(), first);

    // The alignment row averages softmax rows of the named heads.
    float total = 0;
    for (auto a : step.alignment)
        total += float(a);
    EXPECT_NEAR(total, 1.0f, 1e-2f);
}

TEST_F(DecoderKernelTest, KeptCrossAttentionGivesTheSameStep) {
    Step step(kernel_, 3, rng_);
    step.run(kernel_, encoder_);
    const auto expected = step.outputs();

    const auto cross = kernel_.crossAttention(encoder_);
    Step kept(kernel_, 3, rng_);
    kept.keys = step.keys;
    kept.values = step.values;
    kept.run(kernel_, encoder_, cross.get());
    EXPECT_EQ(kept.outputs(), expected);

    // Another kernel's keys and values may have other shapes: refused, not read.
    const DecoderKernel other(params_, weights_.tensors());
    EXPECT_THROW(kept.run(other, encoder_, cross.get()), WhisperKernelError);
    EXPECT_THROW(kernel_.crossAttention(std::span(encoder_).first(encoder_.size() - 1)),
                 WhisperKernelError);
}

TEST_F(DecoderKernelTest, KeptCrossAttentionGoesWithItsHoldersLastReference) {
    // A transcription keeps one window's keys and values at a time; the kernel holding its own
    // reference to them would keep every window's alive.
    auto cross = kernel_.crossAttention(encoder_);
    const std::weak_ptr<const ml::whisper::CrossAttention> watched = cross;
    cross.reset();
    EXPECT_TRUE(watched.expired());
}

TEST_F(DecoderKernelTest, ConcurrentStepsEqualSequentialOnes) {
    std::vector<std::vector<Float16>> encoders;
    std::vector<Step> steps;
    for (std::size_t i = 0; i < 4; ++i) {
        encoders.push_back(randomHalves(encoder_.size(), 1.0f, rng_));
        steps.emplace_back(kernel_, i + 1, rng_);
    }
    std::vector<std::vector<float>> expected;
    for (std::size_t i = 0; i < 4; ++i) {
        steps[i].run(kernel_, encoders[i]);
        expected.push_back(steps[i].outputs());
    }
    const DecoderKernel shared(params_, weights_.tensors());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int repeat = 0; repeat < 3; ++repeat)
                steps[i].run(shared, encoders[i]);
        });
    }
    for (auto& t : threads)
        t.join();
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(steps[i].outputs(), expected[i]) << i;
}

TEST_F(DecoderKernelTest, BadInputsAreRejectedBeforeAnythingIsWritten) {
    struct Case {
        const char* what;
        void (*spoil)(Step&, std::int32_t& token);
    };
    const Case cases[] = {
        {"token below zero", [](Step&, std::int32_t& t) { t = -1; }},
        {"token past the vocabulary", [](Step&, std::int32_t& t) { t = 300; }},
        {"position past the learned ones", [](Step& s, std::int32_t&) { s.position = 32; }},
        {"negative position", [](Step& s, std::int32_t&) { s.position = -1; }},
        {"key cache not a multiple of E", [](Step& s, std::int32_t&) { s.keys.pop_back(); }},
        {"value cache of another size", [](Step& s, std::int32_t&) { s.values.resize(s.e); }},
        {"update mask of another length", [](Step& s, std::int32_t&) { s.update.pop_back(); }},
        {"padding mask of another length",
         [](Step& s, std::int32_t&) { s.padding.push_back(0.0f); }},
        {"short logits", [](Step& s, std::int32_t&) { s.logits.pop_back(); }},
        {"short key updates", [](Step& s, std::int32_t&) { s.keyOut.pop_back(); }},
        {"alignment of another length",
         [](Step& s, std::int32_t&) { s.alignment.push_back(0.0f); }},
    };
    for (const auto& c : cases) {
        Step step(kernel_, 2, rng_);
        std::int32_t token = 7;
        c.spoil(step, token);
        std::fill(step.logits.begin(), step.logits.end(), Float16(123.0f));
        EXPECT_THROW(kernel_.step({token, step.position, step.keys, step.values, step.update,
                                   encoder_, step.padding},
                                  {step.logits, step.keyOut, step.valueOut, step.alignment}),
                     WhisperKernelError)
            << c.what;
        EXPECT_TRUE(std::all_of(step.logits.begin(), step.logits.end(), [](Float16 x) {
            return float(x) == 123.0f;
        })) << c.what;
    }
    Step step(kernel_, 2, rng_);
    EXPECT_THROW(step.run(kernel_, std::span<const Float16>(encoder_).first(10)),
                 WhisperKernelError);
    // Alignment weights are optional.
    step.alignment.clear();
    EXPECT_NO_THROW(step.run(kernel_, encoder_));

    // Weights that do not fit the hyper-parameters are named.
    auto wider = params_;
    wider.dModel = 128;
    try {
        DecoderKernel(wider, weights_.tensors());
        ADD_FAILURE() << "built with mismatched weights";
    } catch (const WhisperKernelError& e) {
        EXPECT_NE(std::string(e.what()).find("model.decoder.embed_tokens.weight"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
