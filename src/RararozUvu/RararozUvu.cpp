#include "rararozuvu/RararozUvu.h"

#include "rararozuvu/audio/AudioProcessor.h"
#include "rararozuvu/decoding/SegmentSeeker.h"
#include "rararozuvu/decoding/TextDecoder.h"
#include "rararozuvu/models/Constants.h"
#include "vevidocore/ProcessInfo.h"

namespace rararozuvu {

using vevidocore::Logging;
using vevidocore::ModelState;

std::string RararozUvu::deviceName() {
    return vevidocore::ProcessInfo::hwModel();
}

RararozUvu::RararozUvu(const RararozUvuConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions{})),
      audioProcessor_(config.audioProcessor ? config.audioProcessor
                                            : std::make_shared<AudioProcessor>()),
      featureExtractor_(config.featureExtractor ? config.featureExtractor
                                                : std::make_shared<FeatureExtractor>()),
      audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>()),
      textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>()),
      segmentSeeker_(config.segmentSeeker ? config.segmentSeeker
                                          : std::make_shared<SegmentSeeker>()),
      voiceActivityDetector_(config.voiceActivityDetector),
      progress_(Progress::make()),
      tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase),
      useBackgroundDownloadSession_(config.useBackgroundDownloadSession) {
    if (config.logitsFilters)
        textDecoder_->setLogitsFilters(*config.logitsFilters);
    Logging::shared().setLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

RararozUvu::~RararozUvu() {
    audioProcessor()->stopRecording();
}

void RararozUvu::setUp(const RararozUvuConfig& config) {
    setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken,
                config.modelFolder, config.download,
                std::string(Constants::defaultRemoteConfigName),
                config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint())));
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

// Each accessor copies under the facade's lock: a value read while another thread writes is
// either the old or the new one, never torn.
#define RARAROZUVU_GUARDED_PROPERTY(Type, getter, setter, field) \
    Type RararozUvu::getter() const {                            \
        std::lock_guard lock(mutex_);                            \
        return field;                                            \
    }                                                            \
    void RararozUvu::setter(Type value) {                        \
        std::lock_guard lock(mutex_);                            \
        field = std::move(value);                                \
    }

RARAROZUVU_GUARDED_PROPERTY(ModelComputeOptions, modelCompute, setModelCompute, modelCompute_)
RARAROZUVU_GUARDED_PROPERTY(AudioInputConfig, audioInputConfig, setAudioInputConfig,
                            audioInputConfig_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<AudioProcessing>, audioProcessor, setAudioProcessor,
                            audioProcessor_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<FeatureExtracting>, featureExtractor,
                            setFeatureExtractor, featureExtractor_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<AudioEncoding>, audioEncoder, setAudioEncoder,
                            audioEncoder_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<TextDecoding>, textDecoder, setTextDecoder,
                            textDecoder_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<SegmentSeeking>, segmentSeeker, setSegmentSeeker,
                            segmentSeeker_)
RARAROZUVU_GUARDED_PROPERTY(std::shared_ptr<VoiceActivityDetector>, voiceActivityDetector,
                            setVoiceActivityDetector, voiceActivityDetector_)
RARAROZUVU_GUARDED_PROPERTY(std::optional<std::filesystem::path>, modelFolder, setModelFolder,
                            modelFolder_)
RARAROZUVU_GUARDED_PROPERTY(std::optional<std::filesystem::path>, tokenizerFolder,
                            setTokenizerFolder, tokenizerFolder_)
RARAROZUVU_GUARDED_PROPERTY(SegmentDiscoveryCallback, segmentDiscoveryCallback,
                            setSegmentDiscoveryCallback, segmentDiscoveryCallback_)
RARAROZUVU_GUARDED_PROPERTY(ModelStateCallback, modelStateCallback, setModelStateCallback,
                            modelStateCallback_)
RARAROZUVU_GUARDED_PROPERTY(TranscriptionStateCallback, transcriptionStateCallback,
                            setTranscriptionStateCallback, transcriptionStateCallback_)

#undef RARAROZUVU_GUARDED_PROPERTY

ModelVariant RararozUvu::modelVariant() const {
    std::lock_guard lock(mutex_);
    return modelVariant_;
}

void RararozUvu::setModelVariant(ModelVariant variant) {
    std::lock_guard lock(mutex_);
    modelVariant_ = variant;
}

ModelState RararozUvu::modelState() const {
    std::lock_guard lock(mutex_);
    return modelState_;
}

void RararozUvu::setModelState(ModelState state) {
    ModelState old;
    ModelStateCallback callback;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(modelState_, state);
        callback = modelStateCallback_;
    }
    if (callback)
        callback(old, state);
}

std::shared_ptr<const WhisperTokenizer> RararozUvu::tokenizer() const {
    std::lock_guard lock(mutex_);
    return tokenizer_;
}

void RararozUvu::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    std::shared_ptr<TextDecoding> decoder;
    {
        std::lock_guard lock(mutex_);
        tokenizer_ = tokenizer;
        decoder = textDecoder_;
    }
    decoder->setTokenizer(std::move(tokenizer));
}

TranscriptionTimings RararozUvu::currentTimings() const {
    std::lock_guard lock(mutex_);
    return currentTimings_;
}

void RararozUvu::updateTimings(const std::function<void(TranscriptionTimings&)>& change) {
    std::lock_guard lock(mutex_);
    change(currentTimings_);
}

std::shared_ptr<Progress> RararozUvu::progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

bool RararozUvu::useBackgroundDownloadSession() const {
    return useBackgroundDownloadSession_;
}

std::int64_t RararozUvu::windowSamples() const {
    return featureExtractor()->windowSamples().value_or(480000);
}

void RararozUvu::clearState() {
    audioProcessor()->stopRecording();
    std::lock_guard lock(mutex_);
    currentTimings_ = TranscriptionTimings{};
}

void RararozUvu::loggingCallback(Logging::Callback callback) {
    Logging::shared().setLoggingCallback(std::move(callback));
}

}  // namespace rararozuvu
