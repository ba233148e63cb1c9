#include "rararozuvu/models/ModelUtilities.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "hub/HubApi.h"
#include "hub/HubClientError.h"
#include "rararozuvu/models/Constants.h"
#include "rararozuvu/models/WhisperTokenizerWrapper.h"
#include "rararozuvu/results/WhisperError.h"
#include "tokenizers/PreTrainedTokenizer.h"
#include "vevidocore/Logging.h"
#include "vevidocore/TextTrimming.h"

namespace rararozuvu {

namespace fs = std::filesystem;
using vevidocore::Logging;

ModelVariant ModelUtilities::detectVariant(std::int64_t logitsDim, std::int64_t encoderDim) {
    switch (logitsDim) {
        case 51866:
            return ModelVariant::largev3;
        case 51864:
            switch (encoderDim) {
                case 384:
                    return ModelVariant::tinyEn;
                case 768:
                    return ModelVariant::smallEn;
                case 1024:
                    return ModelVariant::mediumEn;
                default:
                    return ModelVariant::baseEn;
            }
        case 51865:
            switch (encoderDim) {
                case 384:
                    return ModelVariant::tiny;
                case 768:
                    return ModelVariant::small;
                case 1024:
                    return ModelVariant::medium;
                case 1280:
                    return ModelVariant::largev2;
                default:
                    return ModelVariant::base;
            }
        default:
            Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) +
                           ", defaulting to base variant");
            return ModelVariant::base;
    }
}

std::string ModelUtilities::tokenizerNameForVariant(ModelVariant variant) {
    return "openai/whisper-" + std::string(description(variant));
}

namespace {

constexpr const char* kTokenizerFile = "tokenizer.json";
constexpr const char* kTokenizerConfigFile = "tokenizer_config.json";

// The bytes of a file, mapped read-only, or nothing when it cannot be mapped whole. The pages
// are mapped in one go from the page cache: reading them into a buffer of our own would touch
// (and fault in) every page of that buffer a second time, which is most of what a fresh
// process pays for the tokenizer's text.
class MappedText {
public:
    static std::optional<MappedText> open(const fs::path& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        struct stat info {};
        void* data = MAP_FAILED;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
            data = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                          MAP_PRIVATE | MAP_POPULATE, fd, 0);
        }
        ::close(fd);
        if (data == MAP_FAILED)
            return std::nullopt;
        return MappedText(data, static_cast<std::size_t>(info.st_size));
    }
    MappedText(MappedText&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    MappedText& operator=(MappedText&&) = delete;
    ~MappedText() {
        if (data_ != nullptr)
            ::munmap(data_, size_);
    }
    std::string_view text() const { return {static_cast<const char*>(data_), size_}; }

private:
    MappedText(void* data, std::size_t size) : data_(data), size_(size) {}
    void* data_;
    std::size_t size_;
};

// The Whisper tokenizer of the tokenizer files in `folder`; nothing without a tokenizer
// configuration. Throws the hub client's errors for a file it cannot read or parse (they name
// the file), and WhisperError (tokenizerUnavailable) naming the files when the tokenizer library
// refuses what they hold.
std::shared_ptr<const WhisperTokenizer> tokenizerInFolder(const hub::HubApi& hubApi,
                                                          const fs::path& folder) {
    if (!fs::exists(folder / kTokenizerConfigFile))
        return nullptr;
    const hub::Config config = hubApi.configuration(folder / kTokenizerConfigFile);
    const auto unavailable = [&](const std::exception& e) {
        return WhisperError::tokenizerUnavailable((folder / kTokenizerFile).string() + " and " +
                                                  kTokenizerConfigFile + ": " + e.what());
    };
    // Most of a load is the vocabulary and merges of tokenizer.json: read straight from its
    // text when they have the usual shape. Anything else (or a file that cannot be read or
    // parsed) goes the ordinary way, which reports it.
    std::shared_ptr<const tokenizers::PreTrainedTokenizer> tokenizer;
    if (const std::optional<MappedText> mapped = MappedText::open(folder / kTokenizerFile)) {
        try {
            tokenizer = tokenizers::PreTrainedTokenizer::fromDataText(config, mapped->text(), true);
        } catch (const std::exception& e) {
            throw unavailable(e);
        }
    }
    if (!tokenizer) {
        const hub::Config data = hubApi.configuration(folder / kTokenizerFile);
        try {
            tokenizer = std::make_shared<const tokenizers::PreTrainedTokenizer>(config, data, true);
        } catch (const std::exception& e) {
            throw unavailable(e);
        }
    }
    return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), folder);
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : std::string(separator)) + part;
    return text;
}

}  // namespace

std::shared_ptr<const WhisperTokenizer> ModelUtilities::loadTokenizer(
    ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
    const std::vector<fs::path>& additionalSearchPaths, bool useBackgroundSession) {
    const std::string name = tokenizerNameForVariant(variant);
    const hub::HubApi hubApi(hub::HubApi::Options{.downloadBase = tokenizerFolder,
                                                  .useBackgroundSession = useBackgroundSession});
    const fs::path hubRepoFolder = hubApi.localRepoLocation(hub::Repo(name));

    std::vector<fs::path> searchPaths{hubRepoFolder};
    if (tokenizerFolder)
        searchPaths.push_back(*tokenizerFolder);
    searchPaths.insert(searchPaths.end(), additionalSearchPaths.begin(),
                       additionalSearchPaths.end());

    std::optional<fs::path> found;
    for (const fs::path& folder : searchPaths) {
        const fs::path file = folder / kTokenizerFile;
        const bool exists = fs::exists(file);
        Logging::debug("Checking for local tokenizer at " + file.string() + " - " +
                       (exists ? "found" : "not found"));
        if (exists) {
            found = folder;
            Logging::debug("Found local tokenizer at " + folder.string());
            break;
        }
    }
    if (!found)
        Logging::debug("No tokenizer found in any local search paths");

    // Only a missing file sends us to the hub: a local file that fails to load is reported as
    // what it is, not hidden behind a download that cannot help (or a network error).
    if (found) {
        try {
            if (auto tokenizer = tokenizerInFolder(hubApi, *found)) {
                Logging::debug("Loading tokenizer from " + found->string());
                return tokenizer;
            }
            Logging::debug("Tokenizer configuration not found in local config");
        } catch (const std::exception& e) {
            Logging::debug(std::string("Error loading local tokenizer: ") + e.what());
            throw;
        }
    }

    Logging::debug("Downloading tokenizer from Hub at file://" + hubRepoFolder.string());
    const fs::path downloaded = hubApi.snapshot(
        hub::Repo(name), "main", {"config.json", kTokenizerConfigFile, kTokenizerFile});
    if (auto tokenizer = tokenizerInFolder(hubApi, downloaded))
        return tokenizer;
    throw hub::HubClientError::configurationMissing(kTokenizerConfigFile);
}

void ModelUtilities::checkTokenizer(const WhisperTokenizer& tokenizer, std::int64_t vocabularySize,
                                    bool isModelMultilingual, const std::string& source) {
    std::vector<std::string> problems;

    std::vector<std::string> required{"<|endoftext|>", "<|startoftranscript|>", "<|startofprev|>",
                                      "<|notimestamps|>"};
    if (isModelMultilingual)
        required.insert(required.end(), {"<|transcribe|>", "<|translate|>", "<|en|>"});
    std::vector<std::string> missing;
    for (const std::string& token : required) {
        if (!tokenizer.convertTokenToId(token))
            missing.push_back(token);
    }
    if (!tokenizer.convertTokenToId("<|nospeech|>") &&
        !tokenizer.convertTokenToId("<|nocaptions|>")) {
        missing.push_back("<|nospeech|> (or <|nocaptions|>)");
    }
    if (!missing.empty())
        problems.push_back("it lacks the special tokens " + joined(missing, ", "));

    const SpecialTokens& special = tokenizer.specialTokens();
    const std::pair<const char*, std::int64_t> used[] = {
        {"<|endoftext|>", special.endToken},
        {"<|startoftranscript|>", special.startOfTranscriptToken},
        {"<|startofprev|>", special.startOfPreviousToken},
        {"<|notimestamps|>", special.noTimestampsToken},
        {"the no-speech token", special.noSpeechToken},
    };
    std::vector<std::string> beyond;
    for (const auto& [name, id] : used) {
        if (id < 0 || id >= vocabularySize)
            beyond.push_back(fmt::format("{} ({})", name, id));
    }
    // The timestamp rules and the segments read 1501 timestamps, <|0.00|> to <|30.00|>.
    constexpr std::int64_t timestamps = 1501;
    if (special.timeTokenBegin < 0 || special.timeTokenBegin + timestamps > vocabularySize) {
        beyond.push_back(fmt::format("the timestamps <|0.00|>..<|30.00|> ({}..{})",
                                     special.timeTokenBegin,
                                     special.timeTokenBegin + timestamps - 1));
    }
    if (!beyond.empty()) {
        problems.push_back(fmt::format("{} lie beyond the decoder's {} logits",
                                       joined(beyond, ", "), vocabularySize));
    }

    // The text vocabulary: every id below the end of text must decode to something, or the
    // decoder's words come out as nothing.
    if (tokenizer.convertTokenToId("<|endoftext|>")) {
        std::int64_t without = 0;
        std::int64_t first = -1;
        for (std::int64_t id = 0; id < special.specialTokenBegin; ++id) {
            if (!tokenizer.convertIdToToken(id)) {
                first = first < 0 ? id : first;
                ++without;
            }
        }
        if (without > 0) {
            problems.push_back(fmt::format(
                "its vocabulary is cut short: {} of the {} text ids below <|endoftext|> have no "
                "token (the first is {})",
                without, special.specialTokenBegin, first));
        }
    }

    if (!problems.empty()) {
        throw WhisperError::tokenizerUnavailable(
            "The tokenizer of " + source + " does not fit the decoder: " + joined(problems, "; "));
    }
}

void ModelUtilities::checkDecoderContext(std::int64_t positions, const std::string& source) {
    if (positions < Constants::maxTokenContext) {
        throw WhisperError::modelsUnavailable(fmt::format(
            "{}: the text decoder holds {} token positions; a window's prompt and sampled "
            "tokens need {}",
            source, positions, Constants::maxTokenContext));
    }
}

std::vector<std::string> ModelUtilities::formatModelFiles(
    const std::vector<std::string>& modelFiles) {
    std::vector<std::string> filters;
    for (ModelVariant variant : allModelVariants) {
        const std::string text(description(variant));
        filters.push_back(text.find("large") != std::string::npos ? text : text + "/");
    }

    std::vector<std::string> folders;
    std::set<std::string> seen;
    for (const std::string& file : modelFiles) {
        const std::string entry = file.substr(0, file.find('/')) + "/";
        const bool kept = std::any_of(filters.begin(), filters.end(), [&](const std::string& f) {
            return entry.find(f) != std::string::npos;
        });
        if (kept && seen.insert(entry).second)
            folders.push_back(entry);
    }
    for (std::string& folder : folders)
        folder = vevidocore::trimmingFromEnd(folder, "/", 1);

    // The family of a name: the first description, in case order, that it contains.
    const auto family = [](const std::string& name) {
        for (std::size_t i = 0; i < allModelVariants.size(); ++i) {
            if (name.find(description(allModelVariants[i])) != std::string::npos)
                return i;
        }
        return allModelVariants.size();
    };
    std::stable_sort(folders.begin(), folders.end(),
                     [&](const std::string& a, const std::string& b) {
                         const std::size_t fa = family(a);
                         const std::size_t fb = family(b);
                         return fa == fb ? a < b : fa < fb;
                     });
    return folders;
}

ModelSupport ModelUtilities::modelSupport(std::string_view deviceName,
                                          const std::optional<ModelSupportConfig>& config) {
    return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceName);
}

}  // namespace rararozuvu
