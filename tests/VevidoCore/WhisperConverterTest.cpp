#include "ml/WhisperConverter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

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

class TempFolder {
public:
    TempFolder() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("quillora-convert-test-" + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

MultiArray referenceArray(const ml::SafetensorsFile& file, const char* name,
                          std::vector<std::int64_t> shape) {
    const ml::SafetensorsTensor& t = file.tensor(name);
    MultiArray a(std::move(shape), MultiArrayDataType::float32);
    EXPECT_EQ(t.data.size(), a.byteCount()) << name;
    std::memcpy(a.dataPointer(), t.data.data(), std::min(t.data.size(), a.byteCount()));
    return a;
}

TEST(WhisperConverter, BuildsBundlesTheRuntimeLoads) {
    TempFolder out;
    ml::WhisperConverter::convert(kCheckpoint, out.path());
    for (const char* file : {"tokenizer.json", "tokenizer_config.json", "config.json",
                             "generation_config.json"}) {
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
        worst = std::max<double>(worst, std::abs(features.data<float>()[i] - expected.data<float>()[i]));
    }
    EXPECT_LT(worst, 1e-4);

    // Converting again over an earlier result replaces it.
    ml::WhisperConverter::convert(kCheckpoint, out.path());
    EXPECT_NO_THROW(ml::Model::load(out.path() / "AudioEncoder.mlmodelc"));
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
        if (c.file) std::ofstream(checkpoint.path() / c.file) << "not safetensors";
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
