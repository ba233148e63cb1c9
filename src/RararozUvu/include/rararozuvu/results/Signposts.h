#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace rararozuvu {

// Named timing intervals around the pipeline's stages. There are no system performance tools
// here, so an interval is two debug lines of the shared logger, "begin" and "end" with its
// duration, timed with the clock of the transcription timings (TranscriptionTimings::
// absoluteTime) so that the lines agree with the timing record. Nothing is rendered unless the
// log level is debug.
//
// A signposter names its channel ("AudioEncoding", "FeatureExtractor", "TranscribeTask") and
// numbers its intervals, so that overlapping intervals of one name can be told apart. All of it
// is safe from any thread.
class Signposter {
public:
    explicit Signposter(std::string category) : category_(std::move(category)) {}
    Signposter(const Signposter&) = delete;
    Signposter& operator=(const Signposter&) = delete;

    const std::string& category() const noexcept { return category_; }
    std::uint64_t makeSignpostID() noexcept {
        return nextID_.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    // The three channels of the speech library, made on first use.
    static Signposter& audioEncoding();
    static Signposter& featureExtractor();
    static Signposter& transcribeTask();

private:
    std::string category_;
    std::atomic<std::uint64_t> nextID_{0};
};

// An open interval: its identifier and its start on the timings' clock.
struct SignpostIntervalState {
    std::uint64_t id = 0;
    double start = 0;
};

SignpostIntervalState beginSignpost(std::string_view name, Signposter& signposter);
void endSignpost(std::string_view name, const SignpostIntervalState& interval,
                 Signposter& signposter);

// Begins an interval and ends it when the scope is left, however it is left.
class SignpostInterval {
public:
    SignpostInterval(std::string_view name, Signposter& signposter)
        : name_(name), signposter_(signposter), state_(beginSignpost(name_, signposter_)) {}
    ~SignpostInterval() { endSignpost(name_, state_, signposter_); }
    SignpostInterval(const SignpostInterval&) = delete;
    SignpostInterval& operator=(const SignpostInterval&) = delete;

private:
    std::string name_;
    Signposter& signposter_;
    SignpostIntervalState state_;
};

}  // namespace rararozuvu
