#include "ml/whisper/WhisperConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include <fmt/format.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../../TempFolder.h"
#include "ml/Model.h"
#include "ml/ModelBundle.h"
#include "ml/Safetensors.h"

namespace {

namespace fs = std::filesystem;
using ml::MultiArray;
using ml::MultiArrayDataType;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kCheckpoint = kShared / "models/tiny-en-random";
const fs::path kReference = kShared / "data/reference/tiny-en-random_sample_000.safetensors";

using vevidocore::testing::TempFolder;

MultiArray referenceArray(const ml::SafetensorsFile& file, const char* name,
                          std::vector<std::int64_t> shape) {
    const ml::SafetensorsTensor& t = file.tensor(name);
    MultiArray a(std::move(shape), MultiArrayDataType::float32);
    EXPECT_EQ(t.data.size(), a.byteCount()) << name;
    std::memcpy(a.dataPointer(), t.data.data(), std::min(t.data.size(), a.byteCount()));
    return a;
}

// The tiny checkpoint converted once for the suite.
class ConvertedCheckpoint : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        out_ = std::make_unique<TempFolder>();
        ml::WhisperConverter::convert(kCheckpoint, out_->path());
    }
    static void TearDownTestSuite() { out_.reset(); }

    static std::unique_ptr<TempFolder> out_;
};
std::unique_ptr<TempFolder> ConvertedCheckpoint::out_;

TEST_F(ConvertedCheckpoint, HoldsBundlesTheRuntimeLoads) {
    const TempFolder& out = *out_;
    for (const char* file :
         {"tokenizer.json", "tokenizer_config.json", "config.json", "generation_config.json"}) {
        EXPECT_EQ(fs::file_size(out.path() / file), fs::file_size(kCheckpoint / file)) << file;
    }
    EXPECT_FALSE(fs::exists(out.path() / "TextDecoderContextPrefill.mlmodelc"));

    // Every weight is stored in half precision, and each stage carries only its own.
    const ml::SafetensorsFile encoder(out.path() / "AudioEncoder.mlmodelc/weights.safetensors");
    const ml::SafetensorsFile decoder(out.path() / "TextDecoder.mlmodelc/weights.safetensors");
    const ml::SafetensorsFile checkpoint(kCheckpoint / "model.safetensors");
    EXPECT_EQ(encoder.tensors().size() + decoder.tensors().size(), checkpoint.tensors().size());
    for (const auto* file : {&encoder, &decoder}) {
        for (const auto& t : file->tensors()) {
            EXPECT_EQ(t.dtype, ml::SafetensorsDType::F16) << t.name;
            EXPECT_EQ(t.shape, checkpoint.tensor(t.name).shape) << t.name;
        }
    }
    EXPECT_NE(encoder.find("model.encoder.conv1.weight"), nullptr);
    EXPECT_NE(decoder.find("model.decoder.embed_tokens.weight"), nullptr);

    const auto bundle = ml::ModelBundle::read(out.path() / "TextDecoder.mlmodelc");
    EXPECT_EQ(bundle.hyperParameters.integer("kv_cache_length"), 224);
    EXPECT_EQ(bundle.hyperParameters.integerRows("alignment_heads"),
              (ml::HyperParameters::IntegerRows{{2, 2}, {3, 0}, {3, 4}}));
    EXPECT_EQ(bundle.description.output("logits")->multiArrayConstraint->shape,
              (std::vector<std::int64_t>{1, 1, 51864}));
    EXPECT_NE(bundle.description.output("alignment_heads_weights"), nullptr);

    // The mel front end needs no weights; its numbers match the reference.
    const auto mel = ml::Model::load(out.path() / "MelSpectrogram.mlmodelc");
    const ml::SafetensorsFile reference(kReference);
    ml::DictionaryFeatureProvider in;
    in.set("audio", referenceArray(reference, "audio", {480000}));
    const MultiArray features =
        *mel->predict(in)->featureValue("melspectrogram_features")->multiArrayValue();
    const MultiArray expected = referenceArray(reference, "melspectrogram_features", {80, 3000});
    double worst = 0;
    for (std::int64_t i = 0; i < expected.count(); ++i) {
        worst = std::max<double>(worst,
                                 std::abs(features.data<float>()[i] - expected.data<float>()[i]));
    }
    EXPECT_LT(worst, 1e-4);
}

TEST(WhisperConverter, ReplacesAnEarlierConversion) {
    TempFolder out;
    ml::WhisperConverter::convert(kCheckpoint, out.path(), {.kvCacheLength = 8});
    ml::WhisperConverter::convert(kCheckpoint, out.path());
    const auto bundle = ml::ModelBundle::read(out.path() / "TextDecoder.mlmodelc");
    EXPECT_EQ(bundle.hyperParameters.integer("kv_cache_length"), 224);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"AudioEncoder.mlmodelc", "MelSpectrogram.mlmodelc",
                                               "TextDecoder.mlmodelc", "config.json",
                                               "generation_config.json", "tokenizer.json",
                                               "tokenizer_config.json"}));
}

// A checkpoint folder of its own: the small files copied, the weights linked.
fs::path copyCheckpoint(const fs::path& folder, const std::string& config = {}) {
    fs::create_directories(folder);
    for (const char* name :
         {"config.json", "generation_config.json", "tokenizer.json", "tokenizer_config.json"}) {
        fs::copy_file(kCheckpoint / name, folder / name);
    }
    fs::create_symlink(kCheckpoint / "model.safetensors", folder / "model.safetensors");
    if (!config.empty()) {
        fs::remove(folder / "config.json");
        std::ofstream(folder / "config.json") << config;
    }
    return folder;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WhisperConverter, RefusesADestinationOverlappingTheCheckpoint) {
    TempFolder root;
    const fs::path checkpoint = copyCheckpoint(root.path() / "ckpt");
    const std::string tokenizer = fileText(checkpoint / "tokenizer.json");
    const fs::path cases[] = {
        checkpoint,
        checkpoint / ".",
        root.path() / "ckpt/../ckpt",
        checkpoint / "model",
        checkpoint / "deeper/model",
        root.path(),
    };
    for (const fs::path& output : cases) {
        SCOPED_TRACE(output);
        try {
            ml::WhisperConverter::convert(checkpoint, output);
            ADD_FAILURE() << "converted";
        } catch (const ml::ModelError& e) {
            EXPECT_NE(e.message().find("must lie apart from the checkpoint folder"),
                      std::string::npos)
                << e.message();
        }
        EXPECT_EQ(fileText(checkpoint / "tokenizer.json"), tokenizer);
    }
    // Through a symbolic link to the checkpoint as well.
    fs::create_directory_symlink(checkpoint, root.path() / "alias");
    EXPECT_THROW(ml::WhisperConverter::convert(checkpoint, root.path() / "alias"), ml::ModelError);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(checkpoint)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"config.json", "generation_config.json",
                                               "model.safetensors", "tokenizer.json",
                                               "tokenizer_config.json"}));
    // A sibling whose name starts like the checkpoint's is apart from it.
    EXPECT_NO_THROW(ml::WhisperConverter::convert(checkpoint, root.path() / "ckpt-model"));
}

TEST(WhisperConverter, RefusesWeightsThatDisagreeWithTheConfiguration) {
    TempFolder root;
    std::string config = fileText(kCheckpoint / "config.json");
    config.replace(config.find("\"decoder_ffn_dim\": 1536"), 23, "\"decoder_ffn_dim\": 1024");
    const fs::path checkpoint = copyCheckpoint(root.path() / "ckpt", config);
    try {
        ml::WhisperConverter::convert(checkpoint, root.path() / "model");
        ADD_FAILURE() << "converted";
    } catch (const ml::ModelError& e) {
        EXPECT_NE(e.message().find("tensor \"model.decoder.layers.0.fc1.weight\" has shape "
                                   "[1536, 384], but " +
                                   (checkpoint / "config.json").string() + " makes it [1024, 384]"),
                  std::string::npos)
            << e.message();
    }
    EXPECT_FALSE(fs::exists(root.path() / "model"));
}

TEST(WhisperConverter, RemovesBundlesHalfBuiltByAConversionThatDied) {
    TempFolder out;
    // A process that has ended, and one that is still running (this test's parent).
    const pid_t dead = ::fork();
    if (dead == 0) {
        ::_exit(0);
    }
    ASSERT_GT(dead, 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const fs::path stale = out.path() / fmt::format(".AudioEncoder.mlmodelc.partial-{}", dead);
    const fs::path running =
        out.path() / fmt::format(".TextDecoder.mlmodelc.partial-{}", ::getppid());
    fs::create_directories(stale / "inner");
    fs::create_directories(running);
    ml::WhisperConverter::convert(kCheckpoint, out.path());
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(running));
}

TEST_F(ConvertedCheckpoint, DecoderRefusesTokensOutsideItsVocabulary) {
    const auto decoder = ml::Model::load(out_->path() / "TextDecoder.mlmodelc");
    ml::DictionaryFeatureProvider in;
    in.set("input_ids", MultiArray::from({51864}, 1));
    in.set("cache_length", MultiArray::from({0}, 1));
    in.set("key_cache", MultiArray({1, 1536, 1, 224}, MultiArrayDataType::float16));
    in.set("value_cache", MultiArray({1, 1536, 1, 224}, MultiArrayDataType::float16));
    MultiArray updateMask({1, 224}, MultiArrayDataType::int32);
    updateMask.setValue(0, 1);
    in.set("kv_cache_update_mask", updateMask);
    in.set("encoder_output_embeds", MultiArray({1, 384, 1, 1500}, MultiArrayDataType::float16));
    in.set("decoder_key_padding_mask", MultiArray({1, 224}, MultiArrayDataType::float16));
    try {
        decoder->predict(in);
        FAIL();
    } catch (const ml::ModelError& e) {
        EXPECT_EQ(e.errorCase(), ml::ModelError::Case::parameters);
        EXPECT_NE(e.message().find("51864"), std::string::npos) << e.message();
    }
    in.set("input_ids", MultiArray::from({50257}, 1));
    const auto step = decoder->predict(in);
    EXPECT_EQ(step->multiArray("logits")->shape(), (std::vector<std::int64_t>{1, 1, 51864}));
}

TEST(WhisperPrograms, PrefillLooksUpTheCacheRowsOfTaskAndLanguage) {
    TempFolder folder;
    constexpr std::int64_t kWidth = 2 * 8;  // decoder layers × d_model
    constexpr std::int64_t kPrefill = 3;
    constexpr std::int64_t kLanguages = 4;
    ml::ModelBundle bundle;
    bundle.program = "TextDecoderContextPrefill";
    for (const auto& [name, value] : {std::pair{"num_mel_bins", 80},
                                      {"d_model", 8},
                                      {"encoder_layers", 1},
                                      {"encoder_attention_heads", 2},
                                      {"encoder_ffn_dim", 32},
                                      {"decoder_layers", 2},
                                      {"decoder_attention_heads", 2},
                                      {"decoder_ffn_dim", 32},
                                      {"vocab_size", 60},
                                      {"max_source_positions", 10},
                                      {"max_target_positions", 16},
                                      {"prefill_length", kPrefill},
                                      {"first_language_token", 50},
                                      {"language_count", kLanguages}}) {
        bundle.hyperParameters.set(name, std::int64_t{value});
    }
    const auto f16 = MultiArrayDataType::float16;
    bundle.description.inputs = {ml::multiArrayFeature("task", MultiArrayDataType::int32, {1}),
                                 ml::multiArrayFeature("language", MultiArrayDataType::int32, {1})};
    bundle.description.outputs = {
        ml::multiArrayFeature("key_cache_prefill", f16, {1, kWidth, 1, kPrefill}),
        ml::multiArrayFeature("value_cache_prefill", f16, {1, kWidth, 1, kPrefill})};
    bundle.weights = "weights.safetensors";
    bundle.write(folder.path());
    // Entry i of the key table holds i, of the value table -i.
    const std::int64_t n = 2 * kLanguages * kWidth * kPrefill;
    std::vector<ml::Float16> keys;
    std::vector<ml::Float16> values;
    for (std::int64_t i = 0; i < n; ++i) {
        keys.emplace_back(static_cast<float>(i));
        values.emplace_back(static_cast<float>(-i));
    }
    ml::SafetensorsWriter writer;
    const std::vector<std::int64_t> shape{2, kLanguages, kWidth, kPrefill};
    writer.add("key_cache_prefill", ml::SafetensorsDType::F16, shape,
               std::as_bytes(std::span(keys)));
    writer.add("value_cache_prefill", ml::SafetensorsDType::F16, shape,
               std::as_bytes(std::span(values)));
    writer.write(folder.path() / "weights.safetensors");

    const auto prefill = ml::Model::load(folder.path());
    ml::DictionaryFeatureProvider in;
    in.set("task", MultiArray::from({1}, 1));
    in.set("language", MultiArray::from({52}, 1));
    const auto out = prefill->predict(in);
    const MultiArray k = *out->multiArray("key_cache_prefill");
    const MultiArray v = *out->multiArray("value_cache_prefill");
    const std::int64_t first = (1 * kLanguages + 2) * kWidth * kPrefill;
    for (std::int64_t i = 0; i < kWidth * kPrefill; ++i) {
        ASSERT_EQ(k[i], first + i);
        ASSERT_EQ(v[i], -(first + i));
    }
    for (std::int64_t language : {49, 54}) {
        in.set("language", MultiArray::from({language}, 1));
        EXPECT_THROW(prefill->predict(in), ml::ModelError) << language;
    }
}

TEST(WhisperConverter, IncompleteCheckpointsAreRefused) {
    TempFolder checkpoint;
    TempFolder out;
    fs::copy_file(kCheckpoint / "config.json", checkpoint.path() / "config.json");
    struct Case {
        const char* what;
        const char* file;
        std::string message;
    };
    const Case cases[] = {
        {"no weights", nullptr, "model.safetensors"},
        {"weights not a container", "model.safetensors", "model.safetensors"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file)
            std::ofstream(checkpoint.path() / c.file) << "not safetensors";
        try {
            ml::WhisperConverter::convert(checkpoint.path(), out.path());
            ADD_FAILURE() << "converted";
        } catch (const ml::ModelError& e) {
            EXPECT_EQ(e.errorCase(), ml::ModelError::Case::io);
            EXPECT_NE(e.message().find(c.message), std::string::npos) << e.message();
        }
    }
    fs::remove(checkpoint.path() / "config.json");
    EXPECT_THROW(ml::WhisperConverter::convert(checkpoint.path(), out.path()), ml::ModelError);
    EXPECT_TRUE(fs::is_empty(out.path()));
}

}  // namespace
