#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "rararozuvu/RararozUvuConfig.h"
#include "rararozuvu/audio/EnergyVAD.h"
#include "rararozuvu/models/ModelComputeOptions.h"
#include "rararozuvu/models/ModelVariant.h"

namespace rararozuvu {
namespace {

TEST(ModelVariantTest, CasesDescriptionsAndLanguages) {
    const std::vector<std::string_view> descriptions = {"tiny",  "tiny.en",  "base",    "base.en",
                                                        "small", "small.en", "medium",  "medium.en",
                                                        "large", "large-v2", "large-v3"};
    ASSERT_EQ(allModelVariants.size(), descriptions.size());
    std::set<ModelVariant> seen;
    for (std::size_t i = 0; i < allModelVariants.size(); ++i) {
        const ModelVariant variant = allModelVariants[i];
        EXPECT_TRUE(seen.insert(variant).second);
        EXPECT_EQ(description(variant), descriptions[i]);
        EXPECT_EQ(isMultilingual(variant), !descriptions[i].ends_with(".en")) << descriptions[i];
    }
}

TEST(ModelComputeOptionsTest, DefaultsAndAGivenEncoderChoice) {
    const ModelComputeOptions defaults;
    EXPECT_EQ(defaults.melCompute, ml::ComputeUnits::cpuAndGPU);
    EXPECT_EQ(defaults.audioEncoderCompute, ml::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.textDecoderCompute, ml::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.prefillCompute, ml::ComputeUnits::cpuOnly);

    const ModelComputeOptions given(ml::ComputeUnits::all, ml::ComputeUnits::cpuOnly,
                                    ml::ComputeUnits::cpuOnly, ml::ComputeUnits::all);
    EXPECT_EQ(given.audioEncoderCompute, ml::ComputeUnits::cpuOnly);
    EXPECT_EQ(given.prefillCompute, ml::ComputeUnits::all);
    const ModelComputeOptions unset(ml::ComputeUnits::cpuOnly, std::nullopt,
                                    ml::ComputeUnits::cpuOnly, ml::ComputeUnits::cpuOnly);
    EXPECT_EQ(unset.audioEncoderCompute, ml::ComputeUnits::cpuAndNeuralEngine);
}

TEST(RararozUvuConfigTest, UnnamedFieldsStayAbsentAndStagesAreShared) {
    const auto detector = std::make_shared<EnergyVAD>();
    const RararozUvuConfig config{.model = "base.en",
                                  .downloadBase = "/tmp/Quillora/Models",
                                  .voiceActivityDetector = detector,
                                  .verbose = true,
                                  .logLevel = vevidocore::Logging::LogLevel::info,
                                  .download = true,
                                  .useBackgroundDownloadSession = false};
    EXPECT_EQ(config.model, "base.en");
    EXPECT_FALSE(config.modelRepo || config.modelToken || config.modelEndpoint ||
                 config.modelFolder || config.tokenizerFolder);
    EXPECT_FALSE(config.computeOptions || config.audioInputConfig || config.logitsFilters);
    EXPECT_FALSE(config.audioProcessor || config.featureExtractor || config.audioEncoder ||
                 config.textDecoder || config.segmentSeeker);
    EXPECT_FALSE(config.prewarm || config.load);
    EXPECT_FALSE(config.useBackgroundDownloadSession);
    EXPECT_EQ(config.voiceActivityDetector, detector);
}

}  // namespace
}  // namespace rararozuvu
