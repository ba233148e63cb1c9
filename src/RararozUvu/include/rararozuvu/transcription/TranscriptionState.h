#pragma once

#include <functional>
#include <string_view>

namespace rararozuvu {

// Where the facade's transcription stands, as its state callback reports it.
enum class TranscriptionState {
    convertingAudio,
    transcribing,
    finished,
};

// "Converting Audio", "Transcribing", "Finished".
std::string_view description(TranscriptionState state);

// Receives each new state; an empty function means no callback.
using TranscriptionStateCallback = std::function<void(TranscriptionState)>;

}  // namespace rararozuvu
