// Model discovery, download, loading and unloading of the speech facade.

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <fstream>
#include <set>
#include <sstream>

#include "hub/HubApi.h"
#include "hub/HubClientError.h"
#include "hub/URLError.h"
#include "ml/ModelError.h"
#include "ml/whisper/CheckpointConversion.h"
#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/models/ModelUtilities.h"
#include "rararozuvu/models/TextDecoderContextPrefill.h"
#include "rararozuvu/models/WhisperTokenizerWrapper.h"
#include "rararozuvu/results/WhisperError.h"
#include "vevidocore/GlobMatching.h"
#include "vevidocore/Stopwatch.h"

namespace rararozuvu {

namespace fs = std::filesystem;
using vevidocore::Logging;
using vevidocore::ModelState;
using vevidocore::Stopwatch;

namespace {

hub::HubApi hubClient(const std::optional<fs::path>& downloadBase,
                      const std::optional<std::string>& token, const std::string& endpoint,
                      bool useBackgroundSession) {
    return hub::HubApi(hub::HubApi::Options{.downloadBase = downloadBase,
                                            .hubToken = token,
                                            .endpoint = endpoint,
                                            .useBackgroundSession = useBackgroundSession});
}

// The model folders that the listed repository paths lie in, in name order.
std::vector<std::string> folderNames(const std::vector<std::string>& files) {
    std::set<std::string> folders;
    for (const std::string& file : files)
        folders.insert(file.substr(0, file.find('/')));
    return {folders.begin(), folders.end()};
}

// The files of the local copy of a repository, as repository paths, that match the glob. Hidden
// files and folders (the download cache's own records) are not part of the repository.
std::vector<std::string> localFilenames(const fs::path& repoFolder, const std::string& glob) {
    std::vector<std::string> files;
    std::error_code error;
    fs::recursive_directory_iterator it(repoFolder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().filename().string().starts_with(".")) {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) {
            files.push_back(it->path().lexically_relative(repoFolder).generic_string());
        }
    }
    return vevidocore::matching(files, glob);
}

// Whether the hub could not be reached at all, as opposed to answering with an error.
bool isUnreachable(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const hub::HubClientError& e) {
        return e.errorCase() == hub::HubClientError::Case::downloadError ||
               e.errorCase() == hub::HubClientError::Case::networkError;
    } catch (const hub::URLError&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

ModelSupportConfig RararozUvu::fetchModelSupportConfig(const std::string& repo,
                                                       const std::optional<fs::path>& downloadBase,
                                                       const std::optional<std::string>& token,
                                                       const std::string& remoteConfigName,
                                                       const std::string& endpoint) {
    const hub::HubApi hubApi = hubClient(downloadBase, token, endpoint, false);
    Logging::debug("Searching for config file matching \"" + remoteConfigName + "\" in " + repo);
    try {
        const std::vector<std::string> files =
            hubApi.getFilenames(hub::Repo(repo), "main", {remoteConfigName});
        if (files.empty()) {
            Logging::info("No config files found matching \"" + remoteConfigName + "\" in " + repo +
                          ", using fallback");
            return Constants::fallbackModelSupportConfig();
        }
        if (files.size() > 1) {
            Logging::info(
                fmt::format("Multiple config files found ({}): {}. Using first matching file: {}",
                            files.size(), files, files.front()));
        }
        const fs::path folder = hubApi.snapshot(hub::Repo(repo), "main", files.front());
        std::ifstream in(folder / files.front(), std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + (folder / files.front()).string());
        std::ostringstream contents;
        contents << in.rdbuf();
        return ModelSupportConfig::fromJson(contents.str());
    } catch (const std::exception& e) {
        Logging::error(std::string("Fetch model support config failed with error: ") + e.what());
        return Constants::fallbackModelSupportConfig();
    }
}

ModelSupport RararozUvu::recommendedModels() {
    const std::string device = deviceName();
    Logging::debug("Running on " + device);
    return Constants::fallbackModelSupportConfig().modelSupport(device);
}

ModelSupport RararozUvu::recommendedRemoteModels(const std::string& repo,
                                                 const std::optional<fs::path>& downloadBase,
                                                 const std::optional<std::string>& token,
                                                 const std::string& remoteConfigName,
                                                 const std::string& endpoint) {
    return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint)
        .modelSupport(deviceName());
}

std::vector<std::string> RararozUvu::fetchAvailableModels(
    const std::string& repo, const std::vector<std::string>& matching,
    const std::optional<fs::path>& downloadBase, const std::optional<std::string>& token,
    const std::string& remoteConfigName, const std::string& endpoint) {
    const std::vector<std::string> supported =
        fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint)
            .modelSupport(deviceName())
            .supported;
    std::set<std::string> kept;
    for (const std::string& glob : matching) {
        for (std::string& name : vevidocore::matching(supported, glob))
            kept.insert(std::move(name));
    }
    return ModelUtilities::formatModelFiles({kept.begin(), kept.end()});
}

std::vector<std::string> RararozUvu::formatModelFiles(const std::vector<std::string>& modelFiles) {
    return ModelUtilities::formatModelFiles(modelFiles);
}

fs::path RararozUvu::download(const std::string& variant,
                              const std::optional<fs::path>& downloadBase,
                              bool useBackgroundSession, const std::string& repo,
                              const std::optional<std::string>& token, const std::string& endpoint,
                              const hub::HubApi::ProgressHandler& progressCallback,
                              std::stop_token stop) {
    const hub::HubApi hubApi = hubClient(downloadBase, token, endpoint, useBackgroundSession);
    const hub::Repo repoRef(repo);
    const fs::path localRepo = hubApi.localRepoLocation(repoRef);

    // Offline, or once the hub turns out to be out of reach, the local copy of the repository
    // answers in its place: a model downloaded before still loads.
    bool useLocalCopy = hubApi.isOffline();
    std::exception_ptr unreachable;
    const auto listFolders = [&](const std::string& pattern) {
        Logging::debug("Searching for models matching \"" + pattern + "\" in " + repo);
        if (!useLocalCopy) {
            try {
                return folderNames(hubApi.getFilenames(repoRef, "main", {pattern}, stop));
            } catch (...) {
                if (!isUnreachable(std::current_exception()))
                    throw;
                unreachable = std::current_exception();
                useLocalCopy = true;
                Logging::debug("The hub cannot be reached; looking in " + localRepo.string());
            }
        }
        return folderNames(localFilenames(localRepo, pattern));
    };

    try {
        std::string pattern = "*" + variant + "/*";
        std::vector<std::string> folders = listFolders(pattern);
        if (folders.size() != 1) {
            Logging::debug(fmt::format("Found {} model folders for \"{}\", trying the OpenAI name",
                                       folders.size(), pattern));
            pattern = "*openai*" + variant + "/*";
            folders = listFolders(pattern);
        }
        if (folders.size() != 1) {
            if (unreachable)
                std::rethrow_exception(unreachable);
            throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                                  " models found matching \"" + pattern + "\" in " +
                                                  repo);
        }
        const std::string& folder = folders.front();
        if (useLocalCopy) {
            Logging::debug("Using the local copy of model " + folder);
            return localRepo / folder;
        }
        Logging::debug("Downloading model " + folder + "...");
        const fs::path snapshotFolder = hubApi.snapshot(
            repoRef, "main", pattern,
            [&](const hub::Progress& progress) {
                Logging::debug(fmt::format("Download progress: {} of {} files",
                                           progress.completedUnitCount(),
                                           progress.totalUnitCount()));
                if (progressCallback)
                    progressCallback(progress);
            },
            stop);
        return snapshotFolder / folder;
    } catch (const std::exception& e) {
        Logging::debug(e.what());
        throw;
    }
}

void RararozUvu::setupModels(const std::optional<std::string>& model,
                             const std::optional<fs::path>& downloadBase,
                             const std::optional<std::string>& modelRepo,
                             const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint) {
    if (modelFolder) {
        setModelFolder(fs::path(*modelFolder));
        return;
    }
    if (!download)
        return;
    const std::string repo = modelRepo.value_or(defaultModelRepo);
    const std::string variant =
        model ? *model
              : fetchModelSupportConfig(repo, downloadBase, modelToken, remoteConfigName, endpoint)
                    .modelSupport(deviceName())
                    .defaultModel;
    fs::path downloaded;
    try {
        downloaded = RararozUvu::download(variant, downloadBase, useBackgroundDownloadSession(),
                                          repo, modelToken, endpoint);
    } catch (const std::exception& e) {
        throw WhisperError::modelsUnavailable(
            std::string(
                "Model not found. Please check the model or repo name and try again.\nError: ") +
            e.what());
    }
    // A repository may publish a standard checkpoint in place of stage bundles: it is converted
    // once, beside the download cache's own files, and that model folder is used.
    const fs::path cacheRoot = hubClient(downloadBase, modelToken, endpoint, false).downloadBase();
    std::optional<fs::path> folder;
    try {
        folder = ml::modelFolderFromDownload(downloaded, cacheRoot);
    } catch (const ml::ModelError& e) {
        throw WhisperError::modelsUnavailable(std::string("Cannot convert the checkpoint: ") +
                                              e.what());
    }
    if (!folder) {
        throw WhisperError::modelsUnavailable(
            downloaded.string() +
            " holds neither model bundles (TextDecoder.mlmodelc) nor a checkpoint (config.json "
            "and model.safetensors)");
    }
    setModelFolder(*folder);
}

void RararozUvu::prewarmModels() {
    loadModels(true);
}

void RararozUvu::loadModels(bool prewarmMode) {
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    const Stopwatch models;
    const std::optional<fs::path> folder = modelFolder();
    if (!folder)
        throw WhisperError::modelsUnavailable("Model folder is not set.");
    Logging::debug("Loading models from " + folder->string() +
                   " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    const fs::path melURL = ModelUtilities::detectModelURL(*folder, "MelSpectrogram");
    const fs::path prefillURL =
        ModelUtilities::detectModelURL(*folder, "TextDecoderContextPrefill");
    const fs::path decoderURL = ModelUtilities::detectModelURL(*folder, "TextDecoder");
    const fs::path encoderURL = ModelUtilities::detectModelURL(*folder, "AudioEncoder");
    for (const fs::path& required : {melURL, encoderURL, decoderURL}) {
        if (!fs::exists(required)) {
            throw WhisperError::modelsUnavailable("Model file not found at " + required.string());
        }
    }

    const ModelComputeOptions compute = modelCompute();
    const std::shared_ptr<FeatureExtracting> extractor = featureExtractor();
    const std::shared_ptr<TextDecoding> decoder = textDecoder();
    const std::shared_ptr<AudioEncoding> encoder = audioEncoder();
    if (auto* mel = dynamic_cast<WhisperMLModel*>(extractor.get())) {
        Logging::debug("Loading feature extractor");
        mel->loadModel(melURL, compute.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    if (fs::exists(prefillURL)) {
        Logging::debug("Loading text decoder prefill data");
        decoder->setPrefillData(std::make_shared<TextDecoderContextPrefill>());
        if (const std::shared_ptr<WhisperMLModel> prefill = decoder->prefillData()) {
            prefill->loadModel(prefillURL, compute.prefillCompute, prewarmMode);
        }
        Logging::debug("Loaded text decoder prefill data");
    }
    // The decoder's and the encoder's loads are timed, into the load or the specialisation field.
    const auto loadTimed = [&](WhisperMLModel* model, const fs::path& url, ml::ComputeUnits units,
                               const char* name, double TranscriptionTimings::*loadField,
                               double TranscriptionTimings::*specializationField) {
        if (model == nullptr)
            return;
        Logging::debug(std::string("Loading ") + name);
        const Stopwatch load;
        model->loadModel(url, units, prewarmMode);
        const double seconds = load.seconds();
        updateTimings([&](TranscriptionTimings& t) {
            t.*(prewarmMode ? specializationField : loadField) = seconds;
        });
        Logging::debug(fmt::format("Loaded {} in {:.2f}s", name, seconds));
    };
    loadTimed(dynamic_cast<WhisperMLModel*>(decoder.get()), decoderURL, compute.textDecoderCompute,
              "text decoder", &TranscriptionTimings::decoderLoadTime,
              &TranscriptionTimings::decoderSpecializationTime);
    loadTimed(dynamic_cast<WhisperMLModel*>(encoder.get()), encoderURL, compute.audioEncoderCompute,
              "audio encoder", &TranscriptionTimings::encoderLoadTime,
              &TranscriptionTimings::encoderSpecializationTime);

    if (prewarmMode) {
        setModelState(ModelState::prewarmed);
        const double seconds = models.seconds();
        updateTimings([&](TranscriptionTimings& t) { t.prewarmLoadTime = seconds; });
        return;
    }
    // A decoder too short for a window would cut every text short or leave it empty.
    if (const std::optional<std::int64_t> positions = decoder->kvCacheMaxSequenceLength())
        ModelUtilities::checkDecoderContext(*positions, decoderURL.string());
    loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    double loading = 0;
    updateTimings([&](TranscriptionTimings& t) {
        t.modelLoading = models.seconds() + t.prewarmLoadTime;
        loading = t.modelLoading;
    });
    Logging::info(fmt::format("Loaded models for whisper size: {} in {:.2f}s",
                              description(modelVariant()), loading));
}

void RararozUvu::loadTokenizerIfNeeded() {
    if (tokenizer()) {
        Logging::debug("Tokenizer already exists on RararozUvu, skipping load");
        return;
    }
    const std::shared_ptr<TextDecoding> decoder = textDecoder();
    const std::optional<std::int64_t> logitsDim = decoder->logitsSize();
    const std::optional<std::int64_t> encoderDim = audioEncoder()->embedSize();
    if (!logitsDim || !encoderDim)
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    decoder->setIsModelMultilingual(*logitsDim != 51864);
    const ModelVariant variant = ModelUtilities::detectVariant(*logitsDim, *encoderDim);
    setModelVariant(variant);
    Logging::debug("Loading tokenizer for " + std::string(description(variant)));
    const Stopwatch tokenizerLoading;

    std::vector<fs::path> searchPaths;
    if (const std::optional<fs::path> folder = modelFolder()) {
        searchPaths.push_back(*folder);
        searchPaths.push_back(
            hub::HubApi(hub::HubApi::Options{.downloadBase = *folder})
                .localRepoLocation(hub::Repo(ModelUtilities::tokenizerNameForVariant(variant))));
    }
    std::shared_ptr<const WhisperTokenizer> loaded = ModelUtilities::loadTokenizer(
        variant, tokenizerFolder(), searchPaths, useBackgroundDownloadSession());
    // A tokenizer without the decoder's special tokens, or with a vocabulary cut short, would
    // decode every window into nothing.
    const auto* wrapper = dynamic_cast<const WhisperTokenizerWrapper*>(loaded.get());
    const std::string source = wrapper && wrapper->tokenizerFolder()
                                   ? (*wrapper->tokenizerFolder() / "tokenizer.json").string()
                                   : ModelUtilities::tokenizerNameForVariant(variant);
    ModelUtilities::checkTokenizer(*loaded, *logitsDim, decoder->isModelMultilingual(), source);
    const double seconds = tokenizerLoading.seconds();
    updateTimings([&](TranscriptionTimings& t) { t.tokenizerLoadTime = seconds; });
    setTokenizer(std::move(loaded));
    Logging::debug(fmt::format("Loaded tokenizer in {:.2f}s", seconds));
}

void RararozUvu::unloadModels() {
    setModelState(ModelState::unloading);
    const std::shared_ptr<FeatureExtracting> extractor = featureExtractor();
    const std::shared_ptr<AudioEncoding> encoder = audioEncoder();
    const std::shared_ptr<TextDecoding> decoder = textDecoder();
    for (WhisperMLModel* model : {dynamic_cast<WhisperMLModel*>(extractor.get()),
                                  dynamic_cast<WhisperMLModel*>(encoder.get()),
                                  dynamic_cast<WhisperMLModel*>(decoder.get())}) {
        if (model)
            model->unloadModel();
    }
    setModelState(ModelState::unloaded);
    Logging::info("Unloaded all models");
}

}  // namespace rararozuvu
