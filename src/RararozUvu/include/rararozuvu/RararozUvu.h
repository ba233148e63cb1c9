#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "hub/HubApi.h"
#include "rararozuvu/RararozUvuConfig.h"
#include "rararozuvu/audio/AudioInputConfig.h"
#include "rararozuvu/audio/AudioProcessing.h"
#include "rararozuvu/audio/VoiceActivityDetector.h"
#include "rararozuvu/decoding/SegmentSeeking.h"
#include "rararozuvu/decoding/TextDecoding.h"
#include "rararozuvu/decoding/TranscriptionProgress.h"
#include "rararozuvu/models/AudioEncoder.h"
#include "rararozuvu/models/FeatureExtractor.h"
#include "rararozuvu/models/ModelComputeOptions.h"
#include "rararozuvu/models/ModelSupport.h"
#include "rararozuvu/models/ModelSupportConfig.h"
#include "rararozuvu/models/ModelVariant.h"
#include "rararozuvu/models/WhisperTokenizer.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionOutcome.h"
#include "rararozuvu/results/TranscriptionTimings.h"
#include "rararozuvu/transcription/PipelineCallbacks.h"
#include "rararozuvu/transcription/Progress.h"
#include "rararozuvu/transcription/TranscribeTask.h"
#include "vevidocore/Logging.h"
#include "vevidocore/ModelState.h"

namespace rararozuvu {

// The speech library's facade: it owns the pipeline stages, the tokenizer, the model folder, the
// model state and the timings, finds and downloads models, loads them, and transcribes arrays of
// 16 kHz samples or audio files.
//
// Build one with create(), which runs the configured download, prewarm and load through the
// virtual operations, so a subclass's versions run. Every operation may be replaced by a
// subclass; the operations reach one another only through the virtual slots.
//
// Thread safety: transcriptions may run from several threads at once (the batch forms do so
// themselves); they share the stages and the tokenizer. The facade's fields are guarded, model
// loads are serialised, and a transcription that finds the models unloaded loads them once for
// everyone waiting. Callbacks may be called from any of those threads, never with a lock held.
class RararozUvu {
public:
    static constexpr std::int64_t sampleRate = 16000;
    static constexpr std::int64_t hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    static constexpr bool isRunningOnSimulator = false;
    // The hardware model of this machine.
    static std::string deviceName();

    static constexpr const char* defaultModelRepo = "vevidoinc/rararozuvu-coreml";

    // The language of some audio, and the probability of every language.
    struct DetectedLanguage {
        std::string language;
        std::map<std::string, float> langProbs;
    };

    // A facade of type T (built from the configuration and `args`), set up as the configuration
    // asks: the model folder found or downloaded, then prewarmed when `prewarm` is true, then
    // loaded when `load` is true (absent: when `modelFolder` is given). Throws what setupModels,
    // prewarmModels and loadModels throw.
    template <class T = RararozUvu, class... Args>
    static std::unique_ptr<T> create(const RararozUvuConfig& config, Args&&... args) {
        auto facade = std::make_unique<T>(config, std::forward<Args>(args)...);
        facade->setUp(config);
        return facade;
    }

    // Takes the configuration's stages and settings, creates the stages it lacks and sets the
    // shared log level (the configuration's level when verbose, else none); nothing is found,
    // downloaded or loaded. create() does the rest.
    explicit RararozUvu(const RararozUvuConfig& config);
    virtual ~RararozUvu();

    RararozUvu(const RararozUvu&) = delete;
    RararozUvu& operator=(const RararozUvu&) = delete;

    // --- State ---------------------------------------------------------------------------

    ModelVariant modelVariant() const;
    vevidocore::ModelState modelState() const;
    ModelComputeOptions modelCompute() const;
    void setModelCompute(ModelComputeOptions compute);
    AudioInputConfig audioInputConfig() const;
    void setAudioInputConfig(AudioInputConfig config);
    // Setting it also hands it to the text decoder.
    std::shared_ptr<const WhisperTokenizer> tokenizer() const;
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
    std::shared_ptr<AudioProcessing> audioProcessor() const;
    void setAudioProcessor(std::shared_ptr<AudioProcessing> processor);
    std::shared_ptr<FeatureExtracting> featureExtractor() const;
    void setFeatureExtractor(std::shared_ptr<FeatureExtracting> extractor);
    std::shared_ptr<AudioEncoding> audioEncoder() const;
    void setAudioEncoder(std::shared_ptr<AudioEncoding> encoder);
    std::shared_ptr<TextDecoding> textDecoder() const;
    void setTextDecoder(std::shared_ptr<TextDecoding> decoder);
    std::shared_ptr<SegmentSeeking> segmentSeeker() const;
    void setSegmentSeeker(std::shared_ptr<SegmentSeeking> seeker);
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const;
    void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> detector);
    // The timings of model loading and file reading.
    TranscriptionTimings currentTimings() const;
    // Gains one child per transcription; replaced by a fresh one when a run leaves it finished.
    std::shared_ptr<Progress> progress() const;
    std::optional<std::filesystem::path> modelFolder() const;
    void setModelFolder(std::optional<std::filesystem::path> folder);
    std::optional<std::filesystem::path> tokenizerFolder() const;
    void setTokenizerFolder(std::optional<std::filesystem::path> folder);
    bool useBackgroundDownloadSession() const;

    SegmentDiscoveryCallback segmentDiscoveryCallback() const;
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);
    // Hears every assignment of the model state, with the old and the new value.
    ModelStateCallback modelStateCallback() const;
    void setModelStateCallback(ModelStateCallback callback);
    TranscriptionStateCallback transcriptionStateCallback() const;
    void setTranscriptionStateCallback(TranscriptionStateCallback callback);

    // --- Model discovery and download --------------------------------------------------------

    // The repository's model-support description (the file `remoteConfigName`), else the
    // built-in one after a log line; never throws.
    static ModelSupportConfig fetchModelSupportConfig(
        const std::string& repo, const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // The built-in description's models for this device.
    static ModelSupport recommendedModels();
    static ModelSupport recommendedRemoteModels(
        const std::string& repo, const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // The device's supported models that match any of the globs, once each, in the order of
    // formatModelFiles.
    static std::vector<std::string> fetchAvailableModels(
        const std::string& repo, const std::vector<std::string>& matching,
        const std::optional<std::filesystem::path>& downloadBase,
        const std::optional<std::string>& token, const std::string& remoteConfigName,
        const std::string& endpoint);
    // The one model folder of the repository matching "*<variant>/*" (or, when that matches
    // none or several, "*openai*<variant>/*"), brought up to date below the download base; its
    // local path. Throws WhisperError (modelsUnavailable) "No models found matching ..." or
    // "Multiple models found matching ...", and the hub client's errors. When the hub cannot be
    // reached or the client is offline, the folder is looked for in the local copy of the
    // repository instead; only when that has no single match does the hub's error go out.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase,
                                          bool useBackgroundSession, const std::string& repo,
                                          const std::optional<std::string>& token,
                                          const std::string& endpoint,
                                          const hub::HubApi::ProgressHandler& progressCallback = {},
                                          std::stop_token stop = {});
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

    // Sets modelFolder: the given folder as it is; else, with `download`, the downloaded folder
    // of the model (the device's default model when none is named). Throws WhisperError
    // (modelsUnavailable) "Model not found. Please check the model or repo name and try
    // again.\nError: <cause>" when the download fails.
    virtual void setupModels(const std::optional<std::string>& model,
                             const std::optional<std::filesystem::path>& downloadBase,
                             const std::optional<std::string>& modelRepo,
                             const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint);

    // --- Loading -------------------------------------------------------------------------

    // loadModels in prewarm mode.
    virtual void prewarmModels();
    // Loads the stages from modelFolder in the order mel, prefill (when its bundle exists),
    // decoder, encoder, then the tokenizer. State: loading then loaded (prewarming then
    // prewarmed in prewarm mode, where each model is loaded once and dropped and the tokenizer is
    // left alone); a failure leaves loading or prewarming. Throws WhisperError
    // (modelsUnavailable) "Model folder is not set." or "Model file not found at <path>", the
    // runtime's load error, and loadTokenizerIfNeeded's errors.
    virtual void loadModels(bool prewarmMode = false);
    // Detects the model variant from the loaded decoder and encoder and loads its tokenizer,
    // unless a tokenizer is already set. Throws WhisperError (tokenizerUnavailable) while either
    // model is missing, and the tokenizer loading's errors.
    virtual void loadTokenizerIfNeeded();
    // Drops every model; the tokenizer, variant and folder stay. State: unloading, unloaded.
    virtual void unloadModels();
    // Stops live capture and clears the timings; models, tokenizer, state and callbacks stay.
    virtual void clearState();

    // --- Transcription -----------------------------------------------------------------

    // Sends the library's log lines to `callback`; an empty one restores standard error.
    virtual void loggingCallback(vevidocore::Logging::Callback callback);

    // The language of the first 30 s of the file. Throws WhisperError (loadAudioFailed
    // "Resource path does not exist <path>"), then as detectLangauge.
    virtual DetectedLanguage detectLanguage(const std::string& audioPath);
    // The language of the first window of the samples, loading the models when needed. Throws
    // WhisperError: decodingFailed "Language detection not supported for this model" (an
    // English-only model), tokenizerUnavailable, transcriptionFailed for a stage that gave
    // nothing, decodingFailed "Language detection failed" for any decoder failure.
    virtual DetectedLanguage detectLangauge(const std::vector<float>& audioArray);

    // One outcome per file, in order: its results, or the error of its loading or
    // transcription. The transcription-state callback hears convertingAudio, transcribing and
    // finished once for the batch.
    virtual std::vector<TranscriptionOutcome> transcribeWithResults(
        const std::vector<std::string>& audioPaths,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(
        const std::vector<std::string>& audioPaths,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    // One outcome per array, with the same options for each.
    virtual std::vector<TranscriptionOutcome> transcribeWithResults(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(
        const std::vector<std::vector<float>>& audioArrays,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {});
    // Runs every array through the main entry point with its own options, at most W at once (W
    // the largest concurrentWorkerCount; 0 means all at once), batch after batch; one outcome per
    // array in input order; never throws. Progress reports carry the array's position as
    // windowId; with seek offsets, the segments handed to the segment-discovery callback have the
    // array's offset added to their seek. Unbalanced inputs give one failure (WhisperError
    // transcriptionFailed). A stop request reaches every transcription: those it finds running
    // or not yet started fail with vevidocore::CancellationError.
    virtual std::vector<TranscriptionOutcome> transcribeWithOptions(
        const std::vector<std::vector<float>>& audioArrays,
        const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
        const std::optional<std::vector<std::int64_t>>& seekOffsets = std::nullopt,
        const TranscriptionCallback& callback = {}, std::stop_token stop = {});

    // The file's results; the transcription-state callback hears convertingAudio, transcribing
    // (after a successful load) and finished (whatever the transcription's outcome). Throws the
    // loading error or the main entry point's.
    virtual TranscriptionResults transcribe(
        const std::string& audioPath,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {}, std::stop_token stop = {});
    // The first of them, or nothing.
    virtual std::shared_ptr<TranscriptionResult> transcribeFirst(
        const std::string& audioPath,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {}, std::stop_token stop = {});

    // The main entry point. With options asking for vad chunking and more samples than one
    // window, the audio is cut at silences and the pieces transcribed in parallel (their
    // segments go to the facade's segment-discovery callback); otherwise one transcription task
    // runs, reporting segments to `segmentCallback` (else the facade's callback). Throws the
    // loader's, the task's and the chunker's errors, and vevidocore::CancellationError when a
    // stop is requested (in the chunked form too, whatever the pieces finished by then).
    virtual TranscriptionResults transcribe(
        const std::vector<float>& audioArray,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {},
        const SegmentDiscoveryCallback& segmentCallback = {}, std::stop_token stop = {});
    // The first result of the main entry point, or nothing.
    virtual std::shared_ptr<TranscriptionResult> transcribeFirst(
        const std::vector<float>& audioArray,
        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
        const TranscriptionCallback& callback = {}, std::stop_token stop = {});

    // The task object of one run.
    virtual std::unique_ptr<TranscribeTask> setupTranscribeTask(
        TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor,
        std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor,
        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
        std::shared_ptr<const WhisperTokenizer> tokenizer);
    // One transcription task over the samples, after loading the models when they are not
    // loaded. Throws WhisperError (tokenizerUnavailable), vevidocore::CancellationError, and the
    // loader's and the task's errors.
    virtual TranscriptionResults runTranscribeTask(
        const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
        const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback,
        std::stop_token stop = {});

protected:
    // The configured download, prewarm and load, through the virtual operations.
    void setUp(const RararozUvuConfig& config);
    // Stores the state, then tells the state callback (old, new), also when nothing changed.
    void setModelState(vevidocore::ModelState state);
    void setModelVariant(ModelVariant variant);
    // The samples of one model window: the feature extractor's, else 480000.
    std::int64_t windowSamples() const;

private:
    // Loads the models unless they are loaded, once for all the transcriptions that ask at the
    // same time.
    void loadModelsIfNeeded();
    // Tells the transcription-state callback, when one is set.
    void reportTranscriptionState(TranscriptionState state);
    TranscriptionResults transcribeChunked(const std::vector<float>& audioArray,
                                           const DecodingOptions& decodeOptions,
                                           const TranscriptionCallback& callback,
                                           std::int64_t windowSamples, std::stop_token stop);
    // One transcription task over the source; runTranscribeTask's work.
    TranscriptionResults runTranscribeTaskOn(AudioSource& audio,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionCallback& callback,
                                             const SegmentDiscoveryCallback& segmentCallback,
                                             std::stop_token stop);
    // The main entry point for a file read as a stream: chunking needs the whole signal, so a
    // file to be chunked is loaded whole and goes through the array form.
    TranscriptionResults transcribeFile(FileAudioSource& audio,
                                        const std::optional<DecodingOptions>& decodeOptions,
                                        const TranscriptionCallback& callback,
                                        const SegmentDiscoveryCallback& segmentCallback,
                                        std::stop_token stop);
    // transcribeWithOptions' batches over `count` inputs; `one` transcribes input i.
    using TranscribeOne = std::function<TranscriptionResults(
        std::size_t, const TranscriptionCallback&, const SegmentDiscoveryCallback&)>;
    std::vector<TranscriptionOutcome> transcribeEach(
        std::size_t count, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
        const std::optional<std::vector<std::int64_t>>& seekOffsets,
        const TranscriptionCallback& callback, const TranscribeOne& one);
    void updateTimings(const std::function<void(TranscriptionTimings&)>& change);

    mutable std::mutex mutex_;
    std::mutex loadMutex_;
    ModelVariant modelVariant_ = ModelVariant::tiny;
    vevidocore::ModelState modelState_ = vevidocore::ModelState::unloaded;
    ModelComputeOptions modelCompute_;
    AudioInputConfig audioInputConfig_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    TranscriptionTimings currentTimings_;
    std::shared_ptr<Progress> progress_;
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    ModelStateCallback modelStateCallback_;
    TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace rararozuvu
