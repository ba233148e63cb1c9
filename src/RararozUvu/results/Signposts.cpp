#include "rararozuvu/results/Signposts.h"

#include <fmt/format.h>

#include "rararozuvu/results/TranscriptionTimings.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

using vevidocore::Logging;

namespace {

bool enabled() {
    return Logging::shared().logLevel() == Logging::LogLevel::debug;
}

}  // namespace

Signposter& Signposter::audioEncoding() {
    static Signposter signposter("AudioEncoding");
    return signposter;
}

Signposter& Signposter::featureExtractor() {
    static Signposter signposter("FeatureExtractor");
    return signposter;
}

Signposter& Signposter::transcribeTask() {
    static Signposter signposter("TranscribeTask");
    return signposter;
}

SignpostIntervalState beginSignpost(std::string_view name, Signposter& signposter) {
    SignpostIntervalState state{signposter.makeSignpostID(), TranscriptionTimings::absoluteTime()};
    if (enabled()) {
        Logging::debug(fmt::format("[{}] begin {} #{}", signposter.category(), name, state.id));
    }
    return state;
}

void endSignpost(std::string_view name, const SignpostIntervalState& interval,
                 Signposter& signposter) {
    if (!enabled()) {
        return;
    }
    const double elapsed = TranscriptionTimings::absoluteTime() - interval.start;
    Logging::debug(fmt::format("[{}] end {} #{}: {:.3f} ms", signposter.category(), name,
                               interval.id, elapsed * 1000.0));
}

}  // namespace rararozuvu
