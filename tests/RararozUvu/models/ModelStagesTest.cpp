#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <stop_token>

#include "ml/ModelError.h"
#include "ml/Safetensors.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/AudioEncoderFeatures.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/MelSpectrogramFeatures.h"
#include "rararozuvu/models/TextDecoderCachePrefillFeatures.h"
#include "rararozuvu/models/TextDecoderFeatures.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/CancellationError.h"

namespace {

namespace fs = std::filesystem;
using ml::Float16;
using ml::MultiArray;
using ml::MultiArrayDataType;
using rararozuvu::WhisperError;
using vevidocore::ModelState;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kReference = kShared / "data/reference/tiny-en-random_sample_000.safetensors";

// The tiny checkpoint converted once for the whole suite.
class ModelStages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::random_device rd;
        folder_ = fs::temp_directory_path() / ("quillora-stages-test-" + std::to_string(rd()));
        ml::WhisperConverter::convert(kShared / "models/tiny-en-random", folder_);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    static fs::path bundle(const char* stage) {
        return folder_ / (std::string(stage) + ".mlmodelc");
    }

    static fs::path folder_;
};
fs::path ModelStages::folder_;

template <class F>
void expectWhisperError(F&& f, WhisperError::Case c, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), c);
        EXPECT_EQ(e.message(), message);
    }
}

MultiArray referenceArray(const ml::SafetensorsFile& file, const char* name,
                          std::vector<std::int64_t> shape, MultiArrayDataType type) {
    const ml::SafetensorsTensor& t = file.tensor(name);
    MultiArray a(std::move(shape), type);
    EXPECT_EQ(t.data.size(), a.byteCount()) << name;
    std::memcpy(a.dataPointer(), t.data.data(), std::min(t.data.size(), a.byteCount()));
    return a;
}

double maxDifference(const MultiArray& a, const MultiArray& b) {
    double worst = 0;
    for (std::int64_t i = 0; i < a.count(); ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

std::int64_t argmax(const MultiArray& a, std::int64_t from, std::int64_t count) {
    std::int64_t best = from;
    for (std::int64_t i = from; i < from + count; ++i) {
        if (a[i] > a[best])
            best = i;
    }
    return best - from;
}

TEST(ModelStage, UnloadedStagesKnowNothingAndCheckTheirInputFirst) {
    rararozuvu::FeatureExtractor extractor;
    rararozuvu::AudioEncoder encoder;
    EXPECT_EQ(extractor.modelState(), ModelState::unloaded);
    EXPECT_EQ(extractor.melCount(), std::nullopt);
    EXPECT_EQ(extractor.windowSamples(), std::nullopt);
    EXPECT_EQ(encoder.embedSize(), std::nullopt);
    EXPECT_EQ(encoder.sequenceLength(), std::nullopt);

    const MultiArray window({480000}, MultiArrayDataType::float32);
    const std::vector<float> notAnArray(480000);
    expectWhisperError([&] { extractor.logMelSpectrogram(notAnArray); },
                       WhisperError::Case::audioProcessingFailed,
                       "FeatureExtractor input must be MLMultiArray");
    expectWhisperError([&] { extractor.logMelSpectrogram(window); },
                       WhisperError::Case::modelsUnavailable, "Models are unavailable");
    expectWhisperError([&] { encoder.encodeFeatures(rararozuvu::FeatureExtractorOutputType(7)); },
                       WhisperError::Case::audioProcessingFailed,
                       "AudioEncoder input must be MLMultiArray");
    expectWhisperError([&] { encoder.encodeFeatures(window); },
                       WhisperError::Case::modelsUnavailable, "Models are unavailable");
}

TEST_F(ModelStages, LoadPrewarmAndUnload) {
    rararozuvu::FeatureExtractor extractor;
    extractor.loadModel(bundle("MelSpectrogram"), ml::ComputeUnits::cpuOnly);
    EXPECT_EQ(extractor.modelState(), ModelState::loaded);
    EXPECT_EQ(extractor.model()->configuration().computeUnits, ml::ComputeUnits::cpuOnly);
    EXPECT_EQ(extractor.windowSamples(), 480000);
    EXPECT_EQ(extractor.melCount(), 80);

    // A failed load leaves the loaded model in place.
    const auto before = extractor.model();
    EXPECT_THROW(extractor.loadModel(folder_ / "Missing.mlmodelc", ml::ComputeUnits::all),
                 ml::ModelError);
    EXPECT_EQ(extractor.model(), before);

    extractor.loadModel(bundle("MelSpectrogram"), ml::ComputeUnits::all, true);
    EXPECT_EQ(extractor.modelState(), ModelState::unloaded);
    extractor.loadModel(bundle("MelSpectrogram"), ml::ComputeUnits::all);
    extractor.unloadModel();
    EXPECT_EQ(extractor.model(), nullptr);

    rararozuvu::AudioEncoder encoder;
    encoder.loadModel(bundle("AudioEncoder"), ml::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(encoder.embedSize(), 384);
    EXPECT_EQ(encoder.sequenceLength(), 1500);
}

TEST_F(ModelStages, CancellationAndPredictionErrorsReachTheCaller) {
    rararozuvu::FeatureExtractor extractor;
    extractor.loadModel(bundle("MelSpectrogram"), ml::ComputeUnits::all);
    rararozuvu::AudioEncoder encoder;
    encoder.loadModel(bundle("AudioEncoder"), ml::ComputeUnits::all);

    // A stop requested beforehand ends the call before the model sees the (malformed) input.
    std::stop_source stop;
    stop.request_stop();
    const MultiArray wrong({100}, MultiArrayDataType::float32);
    EXPECT_THROW(extractor.logMelSpectrogram(wrong, stop.get_token()),
                 vevidocore::CancellationError);
    EXPECT_THROW(encoder.encodeFeatures(wrong, stop.get_token()), vevidocore::CancellationError);

    try {
        extractor.logMelSpectrogram(wrong);
        FAIL();
    } catch (const ml::ModelError& e) {
        EXPECT_EQ(
            e.message(),
            "model \"MelSpectrogram\": the input \"audio\" has the shape [100]; expected [480000]");
    }
    EXPECT_THROW(encoder.encodeFeatures(MultiArray({1, 80, 1, 3000}, MultiArrayDataType::float16)),
                 ml::ModelError);
}

// One window of the reference sample through the mel, encoder and decoder stages: every number
// the runtime produces against an independent implementation.
TEST_F(ModelStages, MatchTheReferenceImplementation) {
    const ml::SafetensorsFile reference(kReference);
    rararozuvu::FeatureExtractor extractor;
    extractor.loadModel(bundle("MelSpectrogram"), ml::ComputeUnits::all);
    rararozuvu::AudioEncoder encoder;
    encoder.loadModel(bundle("AudioEncoder"), ml::ComputeUnits::all);
    const auto decoder = ml::Model::load(bundle("TextDecoder"));

    const auto mel = extractor.logMelSpectrogram(
        referenceArray(reference, "audio", {480000}, MultiArrayDataType::float32));
    ASSERT_TRUE(mel.has_value());
    const MultiArray melArray = std::any_cast<MultiArray>(*mel);
    EXPECT_EQ(melArray.shape(), (std::vector<std::int64_t>{1, 80, 1, 3000}));
    EXPECT_LT(
        maxDifference(melArray, referenceArray(reference, "melspectrogram_features",
                                               {1, 80, 1, 3000}, MultiArrayDataType::float32)),
        1e-4);

    const auto embeds = encoder.encodeFeatures(*mel);
    ASSERT_TRUE(embeds.has_value());
    const MultiArray embedsArray = std::any_cast<MultiArray>(*embeds);
    EXPECT_EQ(embedsArray.shape(), (std::vector<std::int64_t>{1, 384, 1, 1500}));
    // The reference lists frames first; the stage gives channels first.
    const MultiArray framesFirst = referenceArray(reference, "encoder_output_embeds", {1500, 384},
                                                  MultiArrayDataType::float32);
    double worst = 0;
    for (std::int64_t c = 0; c < 384; ++c) {
        for (std::int64_t t = 0; t < 1500; ++t) {
            worst = std::max(worst, std::abs(embedsArray[c * 1500 + t] - framesFirst[t * 384 + c]));
        }
    }
    EXPECT_LT(worst, 2e-2);

    // The decoding loop's bookkeeping, reduced to what one greedy chain needs: feed the prompt,
    // then each step's arg-max; write each step's cache rows at its position.
    const MultiArray prompt = referenceArray(reference, "prompt", {2}, MultiArrayDataType::int32);
    const MultiArray logitsRef =
        referenceArray(reference, "logits", {4, 51864}, MultiArrayDataType::float32);
    constexpr std::int64_t kWidth = 4 * 384;
    constexpr std::int64_t kSlots = 224;
    MultiArray keyCache({1, kWidth, 1, kSlots}, MultiArrayDataType::float16);
    MultiArray valueCache({1, kWidth, 1, kSlots}, MultiArrayDataType::float16);
    MultiArray updateMask({1, kSlots}, MultiArrayDataType::int32);
    MultiArray paddingMask({1, kSlots}, MultiArrayDataType::float16, Float16(-10000.0f));
    std::int64_t next = static_cast<std::int64_t>(prompt[0]);
    for (std::int64_t position = 0; position < 5; ++position) {
        updateMask.setValue(position, 1);
        paddingMask.setValue(position, 0);
        const rararozuvu::TextDecoderOutput out(decoder->predict(rararozuvu::TextDecoderInput(
            MultiArray::from({next}, 1), MultiArray::from({position}, 1), keyCache, valueCache,
            updateMask, embedsArray, paddingMask)));
        const MultiArray logits = out.logits();
        ASSERT_TRUE(out.alignment_heads_weights().has_value());
        EXPECT_EQ(out.alignment_heads_weights()->shape(), (std::vector<std::int64_t>{1, 1500}));
        for (std::int64_t e = 0; e < kWidth; ++e) {
            keyCache.data<Float16>()[e * kSlots + position] =
                out.key_cache_updates().data<Float16>()[e];
            valueCache.data<Float16>()[e * kSlots + position] =
                out.value_cache_updates().data<Float16>()[e];
        }
        updateMask.setValue(position, 0);
        if (position == 0) {
            next = static_cast<std::int64_t>(prompt[1]);
            continue;
        }
        const std::int64_t row = position - 1;
        double rowWorst = 0;
        for (std::int64_t v = 0; v < 51864; ++v) {
            rowWorst = std::max(rowWorst, std::abs(logits[v] - logitsRef[row * 51864 + v]));
        }
        EXPECT_LT(rowWorst, 2e-2) << "step " << row;
        next = argmax(logits, 0, 51864);
        EXPECT_EQ(next, argmax(logitsRef, row * 51864, 51864)) << "step " << row;
    }
}

TEST(FeatureProviders, NameTheirFeaturesAndNothingElse) {
    const MultiArray one({1}, MultiArrayDataType::int32);
    const MultiArray half({1, 4, 1, 2}, MultiArrayDataType::float16);
    const rararozuvu::TextDecoderInput decoderInput(one, one, half, half, one, half, one);
    EXPECT_EQ(decoderInput.featureNames(),
              (std::set<std::string>{"input_ids", "cache_length", "key_cache", "value_cache",
                                     "kv_cache_update_mask", "encoder_output_embeds",
                                     "decoder_key_padding_mask"}));
    EXPECT_TRUE(decoderInput.featureValue("key_cache")->multiArrayValue()->sharesStorageWith(half));
    EXPECT_EQ(decoderInput.featureValue("audio"), std::nullopt);

    const rararozuvu::MelSpectrogramInput melInput(ml::ShapedArray<float>({3}, {1, 2, 3}));
    EXPECT_EQ(melInput.featureNames(), std::set<std::string>{"audio"});
    EXPECT_EQ(melInput.audio.dataType(), MultiArrayDataType::float32);
    EXPECT_EQ(melInput.featureValue("melspectrogram_features"), std::nullopt);
    const rararozuvu::AudioEncoderInput encoderInput(half);
    EXPECT_EQ(encoderInput.featureNames(), std::set<std::string>{"melspectrogram_features"});
    const rararozuvu::TextDecoderCachePrefillInput prefillInput(
        ml::ShapedArray<std::int32_t>({1}, {0}), ml::ShapedArray<std::int32_t>({1}, {50259}));
    EXPECT_EQ(prefillInput.featureNames(), (std::set<std::string>{"task", "language"}));
    EXPECT_EQ(prefillInput.featureValue("language")->multiArrayValue()->value(0), 50259);

    // Plain float values become the element types the decoder model takes.
    const ml::ShapedArray<float> floats({1, 2}, {0, -10000});
    const rararozuvu::TextDecoderInput converted(
        ml::ShapedArray<std::int32_t>({1}, {5}), ml::ShapedArray<std::int32_t>({1}, {0}), floats,
        floats, ml::ShapedArray<float>({1, 2}, {1, 0}), floats, floats);
    EXPECT_EQ(converted.key_cache.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(converted.kv_cache_update_mask.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(converted.decoder_key_padding_mask.data<Float16>()[1].bits, 0xF0E2);
}

TEST(FeatureProviders, OutputsReadTheirFeatures) {
    MultiArray logits({1, 1, 3}, MultiArrayDataType::float16, Float16(0.5f));
    const MultiArray updates({1, 8, 1, 1}, MultiArrayDataType::float16);
    const rararozuvu::TextDecoderOutput out(logits, updates, updates);
    EXPECT_EQ(out.featureNames(),
              (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_TRUE(out.logits().sharesStorageWith(logits));
    EXPECT_EQ(out.logitsShapedArray().scalars()[2].bits, Float16(0.5f).bits);
    EXPECT_EQ(out.alignment_heads_weights(), std::nullopt);
    EXPECT_EQ(out.alignment_heads_weightsShapedArray(), std::nullopt);

    // Shaped getters give half precision whatever the model's element type.
    const MultiArray mel({1, 2, 1, 2}, MultiArrayDataType::float32, 0.25f);
    const rararozuvu::MelSpectrogramOutput melOut(mel);
    EXPECT_EQ(melOut.melspectrogram_featuresShapedArray().scalars()[3].bits, Float16(0.25f).bits);
    EXPECT_EQ(melOut.melspectrogram_featuresShapedArray().shape(), mel.shape());

    const rararozuvu::AudioEncoderOutput missing(std::make_shared<ml::DictionaryFeatureProvider>());
    EXPECT_THROW(missing.encoder_output_embeds(), ml::ModelError);
    const rararozuvu::TextDecoderCachePrefillOutput prefill(updates, updates);
    EXPECT_EQ(prefill.value_cache_prefillShapedArray().shape(), updates.shape());
}

}  // namespace
