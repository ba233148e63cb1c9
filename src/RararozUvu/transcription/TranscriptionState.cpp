#include "rararozuvu/transcription/TranscriptionState.h"

namespace rararozuvu {

std::string_view description(TranscriptionState state) {
    switch (state) {
        case TranscriptionState::convertingAudio:
            return "Converting Audio";
        case TranscriptionState::transcribing:
            return "Transcribing";
        case TranscriptionState::finished:
            return "Finished";
    }
    return "Unknown";
}

}  // namespace rararozuvu
