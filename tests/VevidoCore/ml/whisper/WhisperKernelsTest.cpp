#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <vector>

#include "ml/Float16.h"
#include "ml/Safetensors.h"
#include "ml/whisper/DecoderKernel.h"
#include "ml/whisper/EncoderKernel.h"
#include "ml/whisper/MelKernel.h"
#include "ml/whisper/WhisperHyperParameters.h"

namespace {

namespace fs = std::filesystem;
using ml::whisper::WhisperKernelError;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kCheckpoint = kShared / "models/tiny-en-random";
const fs::path kReference = kShared / "data/reference/tiny-en-random_sample_000.safetensors";

template <typename T>
std::vector<T> values(const ml::SafetensorsTensor& t) {
    std::vector<T> v(t.data.size() / sizeof(T));
    std::memcpy(v.data(), t.data.data(), t.data.size());
    return v;
}

// Largest absolute difference, and the index where it occurs.
template <typename A, typename B>
std::pair<double, std::size_t> maxDifference(const A& a, const B& b) {
    double worst = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = std::abs(double(a[i]) - double(b[i]));
        if (!(d <= worst)) {
            worst = d;
            at = i;
        }
    }
    return {worst, at};
}

TEST(WhisperHyperParameters, ReadsTheCheckpointFolder) {
    const auto p = ml::whisper::WhisperHyperParameters::fromCheckpoint(kCheckpoint);
    EXPECT_EQ(p.numMelBins, 80u);
    EXPECT_EQ(p.dModel, 384u);
    EXPECT_EQ(p.encoderLayers, 4u);
    EXPECT_EQ(p.decoderAttentionHeads, 6u);
    EXPECT_EQ(p.decoderFfnDim, 1536u);
    EXPECT_EQ(p.vocabSize, 51864u);
    EXPECT_EQ(p.maxSourcePositions, 1500u);
    EXPECT_EQ(p.maxTargetPositions, 448u);
    using Head = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(p.alignmentHeads, (std::vector<Head>{{2, 2}, {3, 0}, {3, 4}}));
}

TEST(WhisperHyperParameters, RejectsConfigurationsThatDescribeNoModel) {
    const std::string base =
        R"("num_mel_bins":80,"encoder_layers":4,"encoder_attention_heads":6,"decoder_layers":4,)"
        R"("decoder_attention_heads":6,"vocab_size":51864,"max_source_positions":1500,)"
        R"("max_target_positions":448)";
    struct Case {
        const char* what;
        std::string config, generation;
    };
    const std::vector<Case> cases{
        {"missing d_model", "{" + base + "}", ""},
        {"width not divisible by heads", "{" + base + R"(,"d_model":385})", ""},
        {"negative width", "{" + base + R"(,"d_model":-384})", ""},
        {"not JSON", "{" + base, ""},
        {"alignment head past the decoder", "{" + base + R"(,"d_model":384})",
         R"({"alignment_heads":[[4,0]]})"},
        {"alignment heads not pairs", "{" + base + R"(,"d_model":384})",
         R"({"alignment_heads":[[1,2,3]]})"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(ml::whisper::WhisperHyperParameters::fromJson(c.config, c.generation),
                     WhisperKernelError)
            << c.what;
    }
    const auto ok =
        ml::whisper::WhisperHyperParameters::fromJson("{" + base + R"(,"d_model":384})");
    EXPECT_EQ(ok.encoderFfnDim, 4 * 384u);
    EXPECT_TRUE(ok.alignmentHeads.empty());
}

// The tiny checkpoint and the reference vectors computed from it, opened once for the suite.
class WhisperReference : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        reference_ = std::make_unique<ml::SafetensorsFile>(kReference);
        weights_ = std::make_unique<ml::SafetensorsFile>(kCheckpoint / "model.safetensors");
        params_ = ml::whisper::WhisperHyperParameters::fromCheckpoint(kCheckpoint);
    }
    static void TearDownTestSuite() {
        reference_.reset();
        weights_.reset();
    }
    static const ml::SafetensorsFile& reference() { return *reference_; }
    static const ml::SafetensorsFile& weights() { return *weights_; }
    static const ml::whisper::WhisperHyperParameters& params() { return params_; }

    // The reference encoder output, frames first, as the decoder's channel-major halves.
    static std::vector<ml::Float16> referenceEncoderOutput() {
        const auto framesFirst = values<float>(reference().tensor("encoder_output_embeds"));
        std::vector<ml::Float16> out(framesFirst.size());
        for (std::size_t f = 0; f < 1500; ++f) {
            for (std::size_t c = 0; c < 384; ++c)
                out[c * 1500 + f] = framesFirst[f * 384 + c];
        }
        return out;
    }

private:
    static inline std::unique_ptr<ml::SafetensorsFile> reference_, weights_;
    static inline ml::whisper::WhisperHyperParameters params_;
};

TEST_F(WhisperReference, MelMatchesTheReference) {
    const auto audio = values<float>(reference().tensor("audio"));
    const auto expected = values<float>(reference().tensor("melspectrogram_features"));
    const ml::whisper::MelKernel mel(80);
    std::vector<float> out(80 * 3000);
    mel.compute(audio, out);
    const auto [worst, at] = maxDifference(out, expected);
    EXPECT_LE(worst, 1e-4) << "band " << at / 3000 << " frame " << at % 3000;

    // The same window twice gives the same features (no state between calls).
    std::vector<float> again(out.size());
    mel.compute(audio, again);
    EXPECT_EQ(again, out);
}

TEST_F(WhisperReference, EncoderMatchesTheReference) {
    const ml::whisper::EncoderKernel encoder(params(), weights().tensors());
    EXPECT_EQ(encoder.inputFrames(), 3000u);
    EXPECT_EQ(encoder.outputFrames(), 1500u);
    const auto mel = values<float>(reference().tensor("melspectrogram_features"));
    std::vector<ml::Float16> out(384 * 1500);
    encoder.encode(mel, out);
    const auto [worst, at] = maxDifference(out, referenceEncoderOutput());
    EXPECT_LE(worst, 2e-2) << "channel " << at / 1500 << " frame " << at % 1500;

    EXPECT_THROW(encoder.encode(std::span<const float>(mel).first(100), out), WhisperKernelError);
    EXPECT_THROW(encoder.encode(mel, std::span<ml::Float16>(out).first(100)), WhisperKernelError);
}

// The decoder's running state for one window, kept the way the decoding loop keeps it: caches of
// 224 slots, the slot of step i opened and marked for update before step i runs, and the step's
// key and value rows written into slot i afterwards.
struct DecoderWindow {
    static constexpr std::size_t kSlots = 224;
    explicit DecoderWindow(const ml::whisper::DecoderKernel& kernel)
        : embed(kernel.kvCacheEmbedDim()),
          keyCache(embed * kSlots),
          valueCache(embed * kSlots),
          updateMask(kSlots, 0),
          paddingMask(kSlots, ml::Float16::fromBits(0xF0E2)),  // -10000
          logits(kernel.vocabularySize()),
          keyUpdates(embed),
          valueUpdates(embed),
          alignment(kernel.encoderFrames()) {}

    void step(const ml::whisper::DecoderKernel& kernel, std::int32_t token, std::size_t index,
              std::span<const ml::Float16> encoder) {
        std::fill(updateMask.begin(), updateMask.end(), 0);
        updateMask[index] = 1;
        paddingMask[index] = 0.0f;
        kernel.step({token, static_cast<std::int32_t>(index), keyCache, valueCache, updateMask,
                     encoder, paddingMask},
                    {logits, keyUpdates, valueUpdates, alignment});
        for (std::size_t e = 0; e < embed; ++e) {
            keyCache[e * kSlots + index] = keyUpdates[e];
            valueCache[e * kSlots + index] = valueUpdates[e];
        }
    }

    std::int32_t argmax() const {
        return static_cast<std::int32_t>(
            std::max_element(logits.begin(), logits.end(),
                             [](ml::Float16 a, ml::Float16 b) { return float(a) < float(b); }) -
            logits.begin());
    }

    std::size_t embed;
    std::vector<ml::Float16> keyCache, valueCache;
    std::vector<std::int32_t> updateMask;
    std::vector<ml::Float16> paddingMask, logits, keyUpdates, valueUpdates, alignment;
};

TEST_F(WhisperReference, DecoderStepsMatchTheReference) {
    const ml::whisper::DecoderKernel decoder(params(), weights().tensors());
    ASSERT_EQ(decoder.kvCacheEmbedDim(), 4u * 384u);
    const auto encoder = referenceEncoderOutput();
    const auto prompt = values<std::int32_t>(reference().tensor("prompt"));
    const auto expected = values<float>(reference().tensor("logits"));
    const auto tokens = values<std::int32_t>(reference().tensor("tokens"));
    const std::size_t vocab = decoder.vocabularySize();

    DecoderWindow window(decoder);
    window.step(decoder, prompt[0], 0, encoder);
    std::int32_t next = prompt[1];
    for (std::size_t i = 0; i < 4; ++i) {
        window.step(decoder, next, i + 1, encoder);
        const std::span<const float> want(expected.data() + i * vocab, vocab);
        const auto [worst, at] = maxDifference(window.logits, want);
        EXPECT_LE(worst, 2e-2) << "step " << i << " token " << at;
        next = window.argmax();
        const auto wantToken =
            static_cast<std::int32_t>(std::max_element(want.begin(), want.end()) - want.begin());
        EXPECT_EQ(next, wantToken) << "step " << i;
        EXPECT_EQ(next, tokens[i]) << "step " << i;
    }

    // The alignment row is a mean of softmax rows: non-negative and summing to one.
    double total = 0;
    for (const auto a : window.alignment) {
        EXPECT_GE(float(a), 0.0f);
        total += float(a);
    }
    EXPECT_NEAR(total, 1.0, 1e-2);
}

TEST(MelKernel, FrontEndEdges) {
    const ml::whisper::MelKernel mel(80);
    std::vector<float> out(80 * 3000);
    // Silence: every value sits at the floor log10(1e-10) = -10, i.e. (-10 + 4) / 4.
    mel.compute(std::vector<float>(480000, 0.0f), out);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == -1.5f; }));

    // A pure tone: the band holding 1 kHz is the loudest, and nothing lies more than 8 below
    // the maximum on the log scale (2 after the final scaling).
    std::vector<float> tone(480000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = std::sin(2 * std::numbers::pi * 1000.0 * double(i) / 16000);
    mel.compute(tone, out);
    const float top = *std::max_element(out.begin(), out.end());
    EXPECT_GE(*std::min_element(out.begin(), out.end()), top - 2.0f);
    std::size_t loudest = 0;
    for (std::size_t m = 0; m < 80; ++m) {
        if (out[m * 3000 + 1500] > out[loudest * 3000 + 1500])
            loudest = m;
    }
    const auto& f = mel.filters();
    EXPECT_GT(f[loudest * 201 + 25], 0.0f);  // bin 25 is 1000 Hz

    EXPECT_THROW(mel.compute(std::vector<float>(479999), out), WhisperKernelError);
    EXPECT_THROW(mel.compute(tone, std::span<float>(out).first(100)), WhisperKernelError);
    EXPECT_THROW(ml::whisper::MelKernel(0), WhisperKernelError);
    EXPECT_EQ(ml::whisper::MelKernel(128).filters().size(), 128u * 201u);
}

}  // namespace
