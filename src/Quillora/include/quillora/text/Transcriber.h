#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "rararozuvu/RararozUvu.h"
#include "rararozuvu/results/DecodingOptions.h"
#include "rararozuvu/results/TranscriptionResult.h"

namespace quillora {

// The application's one contact with the speech library: it keeps one pipeline for the chosen
// model, warms it up so that the first dictation does not pay for loading the models, and turns
// 16 kHz mono samples into tidy text.
//
// Both operations block for as long as the speech library works (a load may download a model
// and takes seconds even from disk), so callers run them on a worker thread. They may be called
// from different threads: the pipeline is only published once its warm-up is over, so a
// transcription that starts while a load runs fails with notLoaded instead of waiting for it.
class Transcriber {
public:
    class TranscriberError : public std::runtime_error {
    public:
        enum class Case { notLoaded };
        explicit TranscriberError(Case c);
        Case errorCase() const noexcept { return case_; }

    private:
        Case case_;
    };

    // With the options below the last second of audio is never decoded on its own, so a
    // dictation of 16000 samples or fewer would come back empty: it is padded with silence to
    // this length (one more spectrogram frame) first.
    static constexpr std::size_t paddedShortLength = 16000 + 160;

    // The XDG data folder's "Quillora/Models" (created when missing; a failure to create it
    // shows later, when the download cannot write there).
    static std::filesystem::path modelsDirectory();

    // The decoding options of every transcription and of the warm-up.
    static rararozuvu::DecodingOptions decodingOptions();

    // Special tokens and bracketed notes removed, runs of white space made one blank, the ends
    // trimmed.
    static std::string tidy(std::string_view text);

    // The result's text without the segments of windows the library judged silent (their
    // no-speech probability above the options' threshold).
    static std::string spokenText(const rararozuvu::TranscriptionResult& result);

    Transcriber() = default;
    Transcriber(const Transcriber&) = delete;
    Transcriber& operator=(const Transcriber&) = delete;

    // Makes a warmed-up pipeline of the named model current, downloading it from the hub that
    // HUB_ENDPOINT names (the built-in one without it). Nothing happens when it already is;
    // otherwise the current pipeline is released first, and a failure to build the new one
    // (the model cannot be found or downloaded) is thrown and leaves none. A failed warm-up is
    // only logged: the next transcription tries to load the models again and reports the error.
    // Throws vevidocore::CancellationError when `stop` is requested, keeping no pipeline.
    void load(const std::string& modelName, std::stop_token stop = {});

    // The tidy text of the samples. Throws TranscriberError (notLoaded) without a pipeline, and
    // the speech library's errors.
    std::string transcribe(const std::vector<float>& samples, std::stop_token stop = {});

    std::optional<std::string> loadedName() const;

private:
    mutable std::mutex mutex_;
    std::mutex loadMutex_;  // one load at a time
    std::shared_ptr<rararozuvu::RararozUvu> pipe_;
    std::optional<std::string> loadedName_;
};

}  // namespace quillora
