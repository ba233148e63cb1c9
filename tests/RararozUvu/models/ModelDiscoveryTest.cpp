#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../LogCapture.h"
#include "../PipelineFixtures.h"
#include "TestHub.h"
#include "TestSupport.h"
#include "ml/whisper/WhisperConverter.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/models/ModelUtilities.h"

namespace rararozuvu {
namespace {

using hub::testing::ScopedEnvironment;

namespace fs = std::filesystem;
using testing::expectWhisperError;

constexpr const char* kRepo = RararozUvu::defaultModelRepo;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A loopback address where nothing listens: a port the system handed out and took back.
std::string closedEndpoint() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// Every file of `folder` served below `prefix` in the repository.
void serveFolder(hub::testing::TestHub& hub, const hub::Repo& repo, const fs::path& folder,
                 const std::string& prefix) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file())
            continue;
        hub.addFile(repo, prefix + entry.path().lexically_relative(folder).generic_string(),
                    readFile(entry.path()));
    }
}

// A loopback hub serving the converted tiny model as "openai_whisper-tiny.en" of the model
// repository, beside a folder whose name also ends in the variant.
class ModelDiscovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        hub_ = std::make_unique<hub::testing::TestHub>();
        serveFolder(*hub_, hub::Repo(kRepo), testing::tinyModelFolder(), "openai_whisper-tiny.en/");
        hub_->addFile(hub::Repo(kRepo), "other_tiny.en/README.md", "not a model");
        hub_->addFile(hub::Repo(kRepo), "distil_a-tiny/x", "a");
        hub_->addFile(hub::Repo(kRepo), "openai_b-tiny/x", "b");
        hub_->addFile(hub::Repo(kRepo), "openai_c-tiny/x", "c");
    }
    static void TearDownTestSuite() { hub_.reset(); }

    // The monitor of this machine's network would otherwise decide whether to go online.
    ScopedEnvironment online_{"CI_DISABLE_NETWORK_MONITOR", "1"};
    testing::ScratchFolder base_;
    static std::unique_ptr<hub::testing::TestHub> hub_;
};

std::unique_ptr<hub::testing::TestHub> ModelDiscovery::hub_;

TEST_F(ModelDiscovery, DownloadsTheOneMatchingFolder) {
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    const fs::path folder =
        RararozUvu::download("tiny.en", base_.path(), false, kRepo, std::nullopt, hub_->endpoint(),
                             [&](const hub::Progress& p) {
                                 reports.emplace_back(p.completedUnitCount(), p.totalUnitCount());
                             });
    EXPECT_EQ(folder, base_.path() / "models" / kRepo / "openai_whisper-tiny.en");
    EXPECT_EQ(readFile(folder / "TextDecoder.mlmodelc/model.json"),
              readFile(testing::tinyModelFolder() / "TextDecoder.mlmodelc/model.json"));
    EXPECT_FALSE(fs::exists(base_.path() / "models" / kRepo / "other_tiny.en"));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().first, 0);
    EXPECT_EQ(reports.back().first, reports.back().second);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
}

TEST_F(ModelDiscovery, NamesNoOrSeveralMatches) {
    const struct {
        const char* variant;
        const char* message;
    } cases[] = {
        {"base.en",
         "No models found matching \"*openai*base.en/*\" in vevidoinc/rararozuvu-coreml"},
        {"tiny",
         "Multiple models found matching \"*openai*tiny/*\" in vevidoinc/rararozuvu-coreml"},
    };
    for (const auto& c : cases) {
        expectWhisperError(
            [&] {
                RararozUvu::download(c.variant, base_.path(), false, kRepo, std::nullopt,
                                     hub_->endpoint());
            },
            WhisperError::Case::modelsUnavailable, c.message);
    }
    // Construction wraps the cause.
    try {
        RararozUvu::create(RararozUvuConfig{.model = "base.en",
                                            .downloadBase = base_.path(),
                                            .modelEndpoint = hub_->endpoint(),
                                            .verbose = false});
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_EQ(
            e.message(),
            "Model not found. Please check the model or repo name and try again.\nError: No models "
            "found matching \"*openai*base.en/*\" in vevidoinc/rararozuvu-coreml");
    }
}

TEST_F(ModelDiscovery, FacadeDownloadsLoadsAndLaterWorksWithoutTheHub) {
    RararozUvuConfig config{.model = "tiny.en",
                            .downloadBase = base_.path(),
                            .modelEndpoint = hub_->endpoint(),
                            .verbose = false,
                            .load = true};
    const fs::path expected = base_.path() / "models" / kRepo / "openai_whisper-tiny.en";
    {
        const auto facade = RararozUvu::create(config);
        EXPECT_EQ(facade->modelFolder(), expected);
        EXPECT_EQ(facade->modelState(), vevidocore::ModelState::loaded);
        EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);
        EXPECT_TRUE(facade->tokenizer());
    }

    // A hub that cannot be reached: the copy in the download folder is found instead.
    config.modelEndpoint = closedEndpoint();
    config.load = false;
    const auto offline = RararozUvu::create(config);
    EXPECT_EQ(offline->modelFolder(), expected);

    // What is not in the download folder still fails, with the hub's error as the cause.
    config.model = "small.en";
    try {
        RararozUvu::create(config);
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_TRUE(
            e.message().starts_with("Model not found. Please check the model or repo name and "
                                    "try again.\nError: "))
            << e.message();
        EXPECT_EQ(e.message().find("No models found"), std::string::npos) << e.message();
    }
}

// A repository that publishes the standard checkpoint in place of stage bundles: the facade
// converts it once and transcribes with it, also later with the hub out of reach.
TEST_F(ModelDiscovery, ACheckpointRepositoryIsConvertedAndTranscribes) {
    const fs::path synth = fs::path(QUILLORA_SHARED_DIR) / "models" / "tiny-en-synth";
    const std::string repo = "owner/checkpoints";
    serveFolder(*hub_, hub::Repo(repo), synth, "openai_whisper-tiny.en/");
    hub_->addFile(hub::Repo(repo), "openai_whisper-base.en/README.md", "neither layout");
    const std::string sample =
        (fs::path(QUILLORA_SHARED_DIR) / "data" / "audio-synth" / "sample_001.wav").string();

    RararozUvuConfig config{.model = "tiny.en",
                            .downloadBase = base_.path(),
                            .modelRepo = repo,
                            .modelEndpoint = hub_->endpoint(),
                            .verbose = false};
    const fs::path converted =
        base_.path() / "converted" / "models" / repo / "openai_whisper-tiny.en";
    std::string viaHub;
    {
        const auto facade = RararozUvu::create(config);
        EXPECT_EQ(facade->modelFolder(), converted);
        viaHub = facade->transcribeFirst(sample)->text();
    }
    // The same text as the checkpoint converted by hand.
    const fs::path byHand = base_.path() / "by-hand";
    ml::WhisperConverter::convert(synth, byHand);
    EXPECT_EQ(RararozUvu::create(RararozUvuConfig{.modelFolder = byHand.string(), .verbose = false})
                  ->transcribeFirst(sample)
                  ->text(),
              viaHub);
    EXPECT_FALSE(viaHub.empty());

    // Out of reach, the downloaded checkpoint's conversion is used as it is.
    const auto before = fs::last_write_time(converted / "TextDecoder.mlmodelc");
    config.modelEndpoint = closedEndpoint();
    EXPECT_EQ(RararozUvu::create(config)->modelFolder(), converted);
    EXPECT_EQ(fs::last_write_time(converted / "TextDecoder.mlmodelc"), before);

    config.modelEndpoint = hub_->endpoint();
    config.model = "base.en";
    try {
        RararozUvu::create(config);
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_NE(e.message().find("holds neither model bundles"), std::string::npos)
            << e.message();
    }
}

TEST_F(ModelDiscovery, ModelSupportComesFromTheRepositoryOrTheFallback) {
    const hub::Repo bare("owner/bare");
    hub_->addFile(bare, "README.md", "nothing");
    const hub::Repo broken("owner/broken");
    hub_->addFile(broken, "config.json", "{ not json");
    const hub::Repo listed("owner/listed");
    hub_->addFile(listed, "config.json", R"({"name": "owner/listed", "version": "1",
        "device_support": [{"identifiers": [""], "models": {"default": "openai_whisper-tiny.en",
        "supported": ["openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-tiny"]}}]})");

    testing::LogCapture log(vevidocore::Logging::LogLevel::info);
    const ModelSupportConfig fallback = Constants::fallbackModelSupportConfig();
    EXPECT_EQ(RararozUvu::fetchModelSupportConfig(bare.id, base_.path(), std::nullopt,
                                                  "config.json", hub_->endpoint())
                  .repoName,
              fallback.repoName);
    EXPECT_NE(
        std::find(log.lines.begin(), log.lines.end(),
                  "No config files found matching \"config.json\" in owner/bare, using fallback"),
        log.lines.end());
    log.lines.clear();
    EXPECT_EQ(RararozUvu::fetchModelSupportConfig(broken.id, base_.path(), std::nullopt,
                                                  "config.json", hub_->endpoint())
                  .repoName,
              fallback.repoName);
    EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [](const std::string& line) {
        return line.starts_with("Fetch model support config failed with error: ");
    }));

    EXPECT_EQ(RararozUvu::recommendedRemoteModels(listed.id, base_.path(), std::nullopt,
                                                  "config.json", hub_->endpoint())
                  .defaultModel,
              "openai_whisper-tiny.en");
    EXPECT_EQ(RararozUvu::fetchAvailableModels(listed.id, {"*tiny*", "*tiny.en"}, base_.path(),
                                               std::nullopt, "config.json", hub_->endpoint()),
              (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-tiny.en"}));
}

TEST_F(ModelDiscovery, TokenizerIsReadLocallyElseFetchedFromTheHub) {
    const hub::Repo tokenizerRepo("openai/whisper-tiny.en");
    for (const char* file : {"tokenizer.json", "tokenizer_config.json", "config.json"}) {
        hub_->addFile(tokenizerRepo, file, readFile(testing::kTinyCheckpoint / file));
    }
    const ScopedEnvironment endpoint("HUB_ENDPOINT", hub_->endpoint());
    // A folder with a tokenizer but no tokenizer configuration is passed over.
    const fs::path incomplete = base_.path() / "incomplete";
    fs::create_directories(incomplete);
    fs::copy_file(testing::kTinyCheckpoint / "tokenizer.json", incomplete / "tokenizer.json");

    testing::LogCapture log(vevidocore::Logging::LogLevel::debug);
    const auto fetched =
        ModelUtilities::loadTokenizer(ModelVariant::tinyEn, base_.path(), {incomplete});
    const fs::path hubFolder = base_.path() / "models/openai/whisper-tiny.en";
    EXPECT_EQ(dynamic_cast<const WhisperTokenizerWrapper&>(*fetched).tokenizerFolder(), hubFolder);
    EXPECT_EQ(fetched->specialTokens().endToken,
              testing::tinyTokenizer()->specialTokens().endToken);
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(),
                        "Tokenizer configuration not found in local config"),
              log.lines.end());

    const std::size_t requests = hub_->requests().size();
    log.lines.clear();
    const auto local = ModelUtilities::loadTokenizer(ModelVariant::tinyEn, base_.path());
    EXPECT_EQ(hub_->requests().size(), requests);
    EXPECT_EQ(log.lines.front(), "Checking for local tokenizer at " +
                                     (hubFolder / "tokenizer.json").string() + " - found");
    EXPECT_EQ(local->encode(" Hello"), fetched->encode(" Hello"));
}

TEST(ModelUtilities, DetectsTheVariantFromTwoDimensions) {
    const struct {
        std::int64_t logits;
        std::int64_t width;
        ModelVariant expected;
    } cases[] = {
        {51864, 384, ModelVariant::tinyEn},   {51864, 512, ModelVariant::baseEn},
        {51864, 1280, ModelVariant::baseEn},  {51864, 1024, ModelVariant::mediumEn},
        {51865, 512, ModelVariant::base},     {51865, 640, ModelVariant::base},
        {51865, 1280, ModelVariant::largev2}, {51865, 768, ModelVariant::small},
        {51866, 384, ModelVariant::largev3},  {50000, 384, ModelVariant::base},
    };
    testing::LogCapture log(vevidocore::Logging::LogLevel::error);
    for (const auto& c : cases) {
        EXPECT_EQ(ModelUtilities::detectVariant(c.logits, c.width), c.expected)
            << c.logits << " " << c.width;
    }
    EXPECT_EQ(log.lines, std::vector<std::string>{
                             "Unrecognized vocabulary size: 50000, defaulting to base variant"});
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::largev2),
              "openai/whisper-large-v2");
}

TEST(ModelUtilities, ListsModelFoldersInFamilyOrder) {
    EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
    EXPECT_EQ(
        ModelUtilities::formatModelFiles(
            {"openai_whisper-large-v3_947MB/AudioEncoder.mlmodelc/a", "openai_whisper-base.en/x",
             "openai_whisper-tiny/x", "openai_whisper-base/x", "openai_whisper-base.en/y",
             "openai_whisper-tiny/y", "config.json", "openai_whisper-large-v3_947MB/b",
             "openai_whisper-tinyish/x"}),
        (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-base",
                                  "openai_whisper-base.en", "openai_whisper-large-v3_947MB"}));
}

}  // namespace
}  // namespace rararozuvu
