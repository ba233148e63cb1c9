#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rararozuvu/audio/AudioInputConfig.h"
#include "rararozuvu/audio/AudioProcessing.h"
#include "rararozuvu/audio/VoiceActivityDetector.h"
#include "rararozuvu/decoding/LogitsFiltering.h"
#include "rararozuvu/decoding/SegmentSeeking.h"
#include "rararozuvu/decoding/TextDecoding.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/ModelComputeOptions.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

// Everything the speech facade needs at construction. A holder of settings, read once by the
// facade; share it by std::shared_ptr. Built by position in field order or by name:
//   RararozUvuConfig{.model = "base.en", .downloadBase = folder, .logLevel = LogLevel::info}
//
// A stage given here is the very object the facade uses; an absent one is replaced by the
// shipped implementation.
struct RararozUvuConfig {
    // Model name, a variant folder name such as "base.en"; absent: the device's default model.
    std::optional<std::string> model;
    // Where downloaded repositories are stored; absent: the hub client's default location.
    std::optional<std::filesystem::path> downloadBase;
    // Hub repository of the models; absent: "vevidoinc/rararozuvu-coreml".
    std::optional<std::string> modelRepo;
    std::optional<std::string> modelToken;
    // Base URL of the hub; absent: Constants::defaultRemoteEndpoint().
    std::optional<std::string> modelEndpoint;
    // A folder that already holds the model: nothing is downloaded.
    std::optional<std::string> modelFolder;
    // Where the tokenizer files are looked for and stored.
    std::optional<std::filesystem::path> tokenizerFolder;
    // Absent: the default ModelComputeOptions.
    std::optional<ModelComputeOptions> computeOptions;
    // Absent: the default AudioInputConfig.
    std::optional<AudioInputConfig> audioInputConfig;
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    // Handed to the decoder.
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    // Used when the options ask for voice-activity chunking; absent: an energy detector.
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    // Turns the library's logging on at `logLevel`; off, the shared level is none.
    bool verbose = true;
    vevidocore::Logging::LogLevel logLevel = vevidocore::Logging::LogLevel::info;
    // true: prewarm the models at construction.
    std::optional<bool> prewarm;
    // Load the models at construction; absent: exactly when `modelFolder` is given.
    std::optional<bool> load;
    // Allow downloading when no `modelFolder` is given.
    bool download = true;
    bool useBackgroundDownloadSession = false;
};

}  // namespace rararozuvu
