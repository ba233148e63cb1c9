#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "rararozuvu/results/TranscriptionSegment.h"
#include "rararozuvu/transcription/TranscriptionState.h"
#include "vevidocore/ModelState.h"

namespace rararozuvu {

// The callbacks of the speech pipeline. An empty function means no callback. They may be called
// from the threads of parallel transcriptions at once.

// The segments of one decoded window, as they are found.
using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
// Every assignment of the facade's model state: the old value and the new.
using ModelStateCallback =
    std::function<void(std::optional<vevidocore::ModelState>, vevidocore::ModelState)>;
// The stages of a file transcription: converting audio, transcribing, finished.
using TranscriptionStateCallback = std::function<void(TranscriptionState)>;

}  // namespace rararozuvu
