#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "vevidocore/ModelState.h"
#include "vevidocore/ModelUtilities.h"

namespace vevidocore {
namespace {

namespace fs = std::filesystem;

const fs::path packageModel = "Data/com.apple.CoreML/model.mlmodel";

TEST(ModelStateTest, DescriptionsAndBusyStates) {
    struct Case {
        ModelState state;
        std::string description;
        bool busy;
    };
    const Case cases[] = {
        {ModelState::unloading, "Unloading", true},
        {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},
        {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true},
        {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true},
        {ModelState::downloaded, "Downloaded", false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(static_cast<std::size_t>(c.state), i);
        EXPECT_EQ(description(c.state), c.description);
        EXPECT_EQ(isBusy(c.state), c.busy) << c.description;
        EXPECT_EQ(::testing::PrintToString(c.state), c.description);
    }
}

TEST(ModelUtilitiesTest, NamedStagePrefersTheCompiledModel) {
    struct Case {
        const char* label;
        std::vector<fs::path> folders;  // made inside the model folder
        fs::path expected;              // relative to the model folder
    };
    const Case cases[] = {
        {"both", {"Decoder.mlmodelc", "Decoder.mlpackage" / packageModel}, "Decoder.mlmodelc"},
        {"package only", {"Decoder.mlpackage" / packageModel}, "Decoder.mlpackage" / packageModel},
        {"empty package folder", {"Decoder.mlpackage"}, "Decoder.mlmodelc"},
        {"another stage only", {"Encoder.mlmodelc"}, "Decoder.mlmodelc"},
        {"nothing", {}, "Decoder.mlmodelc"},
    };
    for (const auto& c : cases) {
        testing::TempFolder models;
        for (const auto& folder : c.folders) {
            models.folder(folder);
        }
        EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Decoder"),
                  models.path() / c.expected)
            << c.label;
        EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Decoder", false),
                  models.path() / c.expected)
            << c.label;
    }
    const fs::path missing = "/nonexistent/models";
    EXPECT_EQ(ModelUtilities::detectModelURL(missing, "Decoder"), missing / "Decoder.mlmodelc");
}

TEST(ModelUtilitiesTest, RecursiveSearchFindsCompiledModelsOnly) {
    testing::TempFolder models;
    models.folder("Encoder.mlpackage" / packageModel);
    const fs::path nested = models.folder("a/b/Encoder.mlmodelc");
    models.folder("a/Decoder.mlpackage" / packageModel);

    EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Encoder", true), nested);
    // The direct form does not look below the folder and takes the package it finds there.
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Encoder"),
              models.path() / "Encoder.mlpackage" / packageModel);
    // A package alone is not searched for.
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Decoder", true),
              models.path() / "Decoder.mlmodelc");
    // A compiled model directly in the folder wins without a search.
    models.folder("Encoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Encoder", true),
              models.path() / "Encoder.mlmodelc");
    // A name that only ends like the wanted one does not match.
    models.folder("c/MelDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path(), "Decoder", true),
              models.path() / "Decoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL("/nonexistent/models", "Decoder", true),
              fs::path("/nonexistent/models/Decoder.mlmodelc"));
}

TEST(ModelUtilitiesTest, AnyModelInFolder) {
    testing::TempFolder models;
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path()), std::nullopt);
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path() / "missing"), std::nullopt);

    models.file("notes.txt");
    models.folder(".mlmodelc");  // a hidden name, not an extension
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path()), std::nullopt);

    models.folder("B.mlpackage");
    models.folder("A.mlpackage");
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path()),
              models.path() / "A.mlpackage" / packageModel);

    models.folder("Z.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(models.path()), models.path() / "Z.mlmodelc");
}

}  // namespace
}  // namespace vevidocore
