#include "ml/Model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "../TempFolder.h"
#include "ml/ModelBundle.h"
#include "ml/Program.h"
#include "ml/Safetensors.h"
#include "vevidocore/ModelUtilities.h"

namespace {

namespace fs = std::filesystem;
using ml::Float16;
using ml::ModelError;
using ml::MultiArray;
using ml::MultiArrayDataType;

using vevidocore::testing::TempFolder;

// y = x * w * gain + b, row by row: a program small enough to check by hand that reads weights,
// hyper-parameters and several inputs.
class ScaleShift : public ml::Program {
public:
    explicit ScaleShift(const ml::ProgramContext& context)
        : width_(context.bundle.hyperParameters.integer("width")) {
        const auto w = context.weight("w", ml::SafetensorsDType::F16, {width_});
        const auto b = context.weight("b", ml::SafetensorsDType::F16, {width_});
        w_.resize(static_cast<std::size_t>(width_));
        b_.resize(static_cast<std::size_t>(width_));
        ml::convertToFloat(reinterpret_cast<const Float16*>(w.data.data()), w_.data(), w_.size());
        ml::convertToFloat(reinterpret_cast<const Float16*>(b.data.data()), b_.data(), b_.size());
        context.expectFeatures(inputs(width_), outputs(width_));
    }

    static std::vector<ml::FeatureDescription> inputs(std::int64_t width) {
        return {ml::multiArrayFeature("x", MultiArrayDataType::float32, {2, width}),
                ml::multiArrayFeature("gain", MultiArrayDataType::int32, {1})};
    }
    static std::vector<ml::FeatureDescription> outputs(std::int64_t width) {
        return {ml::multiArrayFeature("y", MultiArrayDataType::float32, {2, width}),
                ml::multiArrayFeature("note", MultiArrayDataType::int8, {1}, true)};
    }

    ml::DictionaryFeatureProvider predict(const ml::FeatureProvider& in) const override {
        const MultiArray x = input(in, "x");
        const float gain = static_cast<float>(input(in, "gain")[0]);
        MultiArray y({2, width_}, MultiArrayDataType::float32);
        for (std::int64_t r = 0; r < 2; ++r) {
            for (std::int64_t j = 0; j < width_; ++j) {
                const auto k = static_cast<std::size_t>(j);
                y.data<float>()[r * width_ + j] =
                    x.data<float>()[r * width_ + j] * w_[k] * gain + b_[k];
            }
        }
        ml::DictionaryFeatureProvider out;
        out.set("y", y);
        return out;
    }

private:
    std::int64_t width_;
    std::vector<float> w_;
    std::vector<float> b_;
};

constexpr std::int64_t kWidth = 3;

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ml::ProgramRegistry::shared().add("ScaleShift", [](const ml::ProgramContext& c) {
            return std::make_unique<ScaleShift>(c);
        });
        folder_ = temp_.path() / "Scale.mlmodelc";
        fs::create_directories(folder_);
        writeBundle(ScaleShift::inputs(kWidth));
        writeWeights(kWidth);
    }
    void TearDown() override { ml::ProgramRegistry::shared().remove("ScaleShift"); }

    void writeBundle(std::vector<ml::FeatureDescription> inputs) {
        ml::ModelBundle bundle;
        bundle.program = "ScaleShift";
        bundle.hyperParameters.set("width", kWidth);
        bundle.description.inputs = std::move(inputs);
        bundle.description.outputs = ScaleShift::outputs(kWidth);
        bundle.description.metadata = {{"purpose", "test"}};
        bundle.weights = "weights.safetensors";
        bundle.write(folder_);
    }

    void writeWeights(std::int64_t width) {
        std::vector<Float16> w;
        std::vector<Float16> b;
        for (std::int64_t i = 0; i < width; ++i) {
            w.push_back(Float16(static_cast<float>(i + 1)));
            b.push_back(Float16(0.5f));
        }
        ml::SafetensorsWriter writer;
        writer.add("w", ml::SafetensorsDType::F16, {width}, std::as_bytes(std::span(w)));
        writer.add("b", ml::SafetensorsDType::F16, {width}, std::as_bytes(std::span(b)));
        writer.write(folder_ / "weights.safetensors");
    }

    std::string description() const {
        std::ifstream in(folder_ / "model.json");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void setDescription(const std::string& text) const {
        std::ofstream(folder_ / "model.json", std::ios::trunc) << text;
    }

    static ml::DictionaryFeatureProvider goodInputs() {
        MultiArray x({2, kWidth}, MultiArrayDataType::float32);
        for (int i = 0; i < 6; ++i)
            x.setValue(i, i);
        ml::DictionaryFeatureProvider in;
        in.set("x", x);
        in.set("gain", MultiArray::from({2}, 1));
        in.set("unused", ml::FeatureValue::string("ignored"));
        return in;
    }

    TempFolder temp_;
    fs::path folder_;
};

TEST_F(ModelTest, LoadsAndPredicts) {
    const auto model = ml::Model::load(folder_, {ml::ComputeUnits::cpuAndNeuralEngine});
    EXPECT_EQ(model->programKind(), "ScaleShift");
    EXPECT_EQ(model->configuration().computeUnits, ml::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(model->modelDescription().metadata.at("purpose"), "test");
    ASSERT_NE(model->modelDescription().input("gain"), nullptr);
    EXPECT_EQ(model->modelDescription().input("y"), nullptr);

    const auto out = model->predict(goodInputs());
    EXPECT_EQ(out->featureNames(), (std::set<std::string>{"y"}));
    const MultiArray y = *out->featureValue("y")->multiArrayValue();
    const std::vector<float> expected{0.5f, 4.5f, 12.5f, 6.5f, 16.5f, 30.5f};
    EXPECT_EQ(std::vector<float>(y.span<float>().begin(), y.span<float>().end()), expected);
}

TEST_F(ModelTest, PredictRefusesInputsThatDoNotMatchTheDescription) {
    const auto model = ml::Model::load(folder_);
    struct Case {
        const char* what;
        std::function<void(ml::DictionaryFeatureProvider&)> change;
        std::string message;
    };
    const Case cases[] = {
        {"missing",
         [](auto& in) {
             in = ml::DictionaryFeatureProvider();
             in.set("gain", MultiArray::from({2}, 1));
         },
         "model \"Scale\": the input \"x\" is missing"},
        {"element type",
         [](auto& in) {
             in.set("x", MultiArray({2, kWidth}, MultiArrayDataType::float16));
         },
         "model \"Scale\": the input \"x\" is a float16 multi-array; expected float32"},
        {"shape",
         [](auto& in) {
             in.set("gain", MultiArray::from({1, 2}, 2));
         },
         "model \"Scale\": the input \"gain\" has the shape [1, 2]; expected [1]"},
        {"feature type", [](auto& in) { in.set("x", ml::FeatureValue::int64(3)); },
         "model \"Scale\": the input \"x\" is int64; expected multiArray"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto in = goodInputs();
        c.change(in);
        try {
            model->predict(in);
            ADD_FAILURE() << "no error";
        } catch (const ModelError& e) {
            EXPECT_EQ(e.errorCase(), ModelError::Case::featureType);
            EXPECT_EQ(e.message(), c.message);
        }
    }
}

TEST_F(ModelTest, BrokenBundlesFailToLoadWithTheReason) {
    const std::string good = description();
    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string message;
    };
    const Case cases[] = {
        {"no folder", [&] { fs::remove_all(folder_); }, "no compiled model folder here"},
        {"no description", [&] { fs::remove(folder_ / "model.json"); }, "cannot be opened"},
        {"bad JSON", [&] { setDescription(good.substr(0, good.size() / 2)); },
         "malformed JSON at offset"},
        {"not an object", [&] { setDescription("[1, 2]"); }, "not a JSON object"},
        {"other format", [&] { setDescription(replace("quillora-model", "coreml")); },
         "\"format\" is not \"quillora-model\""},
        {"no program", [&] { setDescription(replace("\"program\"", "\"programme\"")); },
         "has no \"program\""},
        {"unknown kind", [&] { setDescription(replace("\"ScaleShift\"", "\"Nope\"")); },
         "unknown program kind \"Nope\""},
        {"unknown data type", [&] { setDescription(replace("\"int32\"", "\"int4\"")); },
         "feature \"gain\" has the unknown data type \"int4\""},
        {"zero dimension", [&] { setDescription(replace("[1]", "[0]")); },
         "every dimension must be positive"},
        {"weights outside", [&] { setDescription(replace("\"weights.safetensors\"", "\"../w\"")); },
         "\"weights\" must name a file inside the folder"},
        {"no weights file", [&] { fs::remove(folder_ / "weights.safetensors"); },
         "weights.safetensors"},
        {"short weights",
         [&] {
             fs::resize_file(folder_ / "weights.safetensors",
                             fs::file_size(folder_ / "weights.safetensors") - 2);
         },
         "weights.safetensors"},
        {"weight shape", [&] { writeWeights(kWidth + 1); },
         "tensor \"w\" is F16 [4]; the model needs F16 [3]"},
        {"description the program does not compute",
         [&] {
             auto inputs = ScaleShift::inputs(kWidth);
             inputs[1].multiArrayConstraint->dataType = MultiArrayDataType::int8;
             writeBundle(inputs);
         },
         "a \"ScaleShift\" model with these settings takes the inputs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.damage();
        try {
            ml::Model::load(folder_);
            ADD_FAILURE() << "loaded";
        } catch (const ModelError& e) {
            EXPECT_EQ(e.errorCase(), ModelError::Case::io);
            EXPECT_NE(e.message().find(c.message), std::string::npos) << e.message();
        }
    }
}

TEST_F(ModelTest, AProgramThatBreaksItsDescriptionIsReported) {
    ml::ProgramRegistry::shared().add("ScaleShift", [](const ml::ProgramContext& c) {
        struct Silent : ScaleShift {
            using ScaleShift::ScaleShift;
            ml::DictionaryFeatureProvider predict(const ml::FeatureProvider&) const override {
                return {};
            }
        };
        return std::make_unique<Silent>(c);
    });
    try {
        ml::Model::load(folder_)->predict(goodInputs());
        FAIL();
    } catch (const ModelError& e) {
        EXPECT_EQ(e.errorCase(), ModelError::Case::generic);
        EXPECT_EQ(e.message(), "model \"Scale\": the program's output \"y\" is missing");
    }
}

// A program that computes nothing, so any description can be loaded.
class DescriptionOnly : public ml::Program {
public:
    ml::DictionaryFeatureProvider predict(const ml::FeatureProvider&) const override { return {}; }
};

TEST(ModelDimensions, ReadTheDescribedShapes) {
    TempFolder temp;
    ml::ModelBundle bundle;
    bundle.program = "DescriptionOnly";
    bundle.description.inputs = {
        ml::multiArrayFeature("audio", MultiArrayDataType::float32, {480000}),
        {"picture", ml::FeatureType::image, false, std::nullopt}};
    bundle.description.outputs = {ml::multiArrayFeature(
        "encoder_output_embeds", MultiArrayDataType::float16, {1, 512, 1, 1500})};
    bundle.write(temp.path());
    ml::ProgramRegistry::shared().add("DescriptionOnly", [](const ml::ProgramContext&) {
        return std::make_unique<DescriptionOnly>();
    });
    const auto model = ml::Model::load(temp.path());
    ml::ProgramRegistry::shared().remove("DescriptionOnly");

    using U = vevidocore::ModelUtilities;
    EXPECT_EQ(U::getModelInputDimension(model.get(), "audio", 0), 480000);
    EXPECT_EQ(U::getModelOutputDimension(model.get(), "encoder_output_embeds", 1), 512);
    EXPECT_EQ(U::getModelOutputDimention(model.get(), "encoder_output_embeds", 3), 1500);
    EXPECT_EQ(U::getModelInputDimention(model.get(), "audio", 0), 480000);
    const std::optional<std::int64_t> absent;
    EXPECT_EQ(U::getModelInputDimension(nullptr, "audio", 0), absent);
    EXPECT_EQ(U::getModelInputDimension(model.get(), "picture", 0), absent);
    EXPECT_EQ(U::getModelInputDimension(model.get(), "encoder_output_embeds", 0), absent);
    EXPECT_EQ(U::getModelOutputDimension(model.get(), "audio", 0), absent);
    EXPECT_EQ(U::getModelInputDimension(model.get(), "audio", 1), absent);
    EXPECT_EQ(U::getModelInputDimension(model.get(), "audio", -1), absent);
}

TEST(ModelBundle, WritesWhatItReads) {
    TempFolder temp;
    ml::ModelBundle bundle;
    bundle.program = "Kind";
    bundle.hyperParameters.set("flag", true);
    bundle.hyperParameters.set("count", std::int64_t{-3});
    bundle.hyperParameters.set("scale", 0.125);
    bundle.hyperParameters.set("name", std::string("tiny"));
    bundle.hyperParameters.set("list", ml::HyperParameters::IntegerList{1, 2});
    bundle.hyperParameters.set("rows", ml::HyperParameters::IntegerRows{{2, 2}, {3, 0}});
    bundle.description.inputs = {ml::multiArrayFeature("a", MultiArrayDataType::int8, {4, 5}),
                                 {"s", ml::FeatureType::string, true, std::nullopt}};
    bundle.description.outputs = {ml::multiArrayFeature("b", MultiArrayDataType::float64, {1})};
    bundle.description.metadata = {{"k", "v"}};
    bundle.write(temp.path());

    const ml::ModelBundle read = ml::ModelBundle::read(temp.path());
    EXPECT_EQ(read.program, bundle.program);
    EXPECT_EQ(read.hyperParameters, bundle.hyperParameters);
    EXPECT_EQ(read.description.inputs, bundle.description.inputs);
    EXPECT_EQ(read.description.outputs, bundle.description.outputs);
    EXPECT_EQ(read.description.metadata, bundle.description.metadata);
    EXPECT_FALSE(read.weights.has_value());

    EXPECT_EQ(read.hyperParameters.integer("count"), -3);
    EXPECT_EQ(read.hyperParameters.number("count"), -3.0);
    EXPECT_EQ(read.hyperParameters.optionalInteger("absent"), std::nullopt);
    EXPECT_THROW(read.hyperParameters.integer("name"), ModelError);
    EXPECT_THROW(read.hyperParameters.integerRows("absent"), ModelError);
}

TEST(ComputeUnits, Texts) {
    struct Case {
        int raw;
        const char* description;
        const char* displayName;
    };
    const Case cases[] = {{0, "cpuOnly", "CPU"},
                          {1, "cpuAndGPU", "GPU"},
                          {2, "all", "All"},
                          {3, "cpuAndNeuralEngine", "Neural Engine"},
                          {7, "unknown", "Unknown"}};
    for (const Case& c : cases) {
        EXPECT_EQ(ml::description(static_cast<ml::ComputeUnits>(c.raw)), c.description);
        EXPECT_EQ(ml::displayName(static_cast<ml::ComputeUnits>(c.raw)), c.displayName);
    }
}

}  // namespace
