#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace rararozuvu {

// The one error type of the speech library. Every case carries the message chosen where it is
// thrown; errors of the hub client and of the platform pass through unchanged.
class WhisperError : public std::exception {
public:
    enum class Case {
        tokenizerUnavailable,
        modelsUnavailable,
        prefillFailed,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Case c, std::string message) : case_(c), message_(std::move(message)) {}

    static WhisperError tokenizerUnavailable(std::string m = "Tokenizer is unavailable") {
        return {Case::tokenizerUnavailable, std::move(m)};
    }
    static WhisperError modelsUnavailable(std::string m) { return {Case::modelsUnavailable, std::move(m)}; }
    static WhisperError prefillFailed(std::string m) { return {Case::prefillFailed, std::move(m)}; }
    static WhisperError audioProcessingFailed(std::string m) {
        return {Case::audioProcessingFailed, std::move(m)};
    }
    static WhisperError decodingLogitsFailed(std::string m) {
        return {Case::decodingLogitsFailed, std::move(m)};
    }
    static WhisperError segmentingFailed(std::string m) { return {Case::segmentingFailed, std::move(m)}; }
    static WhisperError loadAudioFailed(std::string m) { return {Case::loadAudioFailed, std::move(m)}; }
    static WhisperError prepareDecoderInputsFailed(std::string m) {
        return {Case::prepareDecoderInputsFailed, std::move(m)};
    }
    static WhisperError transcriptionFailed(std::string m) {
        return {Case::transcriptionFailed, std::move(m)};
    }
    static WhisperError decodingFailed(std::string m) { return {Case::decodingFailed, std::move(m)}; }
    static WhisperError microphoneUnavailable(std::string m) {
        return {Case::microphoneUnavailable, std::move(m)};
    }
    static WhisperError initializationError(std::string m) {
        return {Case::initializationError, std::move(m)};
    }

    Case errorCase() const noexcept { return case_; }
    const std::string& message() const noexcept { return message_; }

    // The user-facing description. Reading it also writes the message to the shared log at error
    // level, so a failure is logged at the moment it is turned into text.
    std::string errorDescription() const;
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const WhisperError& a, const WhisperError& b) {
        return a.case_ == b.case_ && a.message_ == b.message_;
    }

private:
    Case case_;
    std::string message_;
};

}  // namespace rararozuvu
