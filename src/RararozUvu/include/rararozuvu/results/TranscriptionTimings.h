#pragma once

#include <limits>
#include <string>
#include <string_view>

namespace rararozuvu {

// The stopwatch record of one transcription (or of the facade's model loading). Durations are in
// seconds; the fields named total... are counts held as doubles. A plain value without equality.
struct TranscriptionTimings {
    // Absolute times; starting at the largest finite double lets a task keep the earliest value
    // it sees with a plain minimum.
    double pipelineStart = std::numeric_limits<double>::max();
    double firstTokenTime = std::numeric_limits<double>::max();
    // Starts above 0 so that the real-time factor of an empty record is 0, not NaN.
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double prefill = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    // Plain divisions, unguarded: an empty record gives NaN or infinity where the divisor is 0.
    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    // An object of the 34 fields in declaration order, each under its own name. Reading requires
    // all 34. Throws EncodingError / DecodingError.
    std::string toJson() const;
    static TranscriptionTimings fromJson(std::string_view json);

    // The clock of every absolute time in these records, and of the durations measured between
    // two of its readings: seconds since 1 January 2001 (the reference date of the absolute
    // times), read from the system clock once and carried on by the steady clock, so that a
    // difference of two readings never jumps with a change of the wall clock.
    static double absoluteTime();
};

}  // namespace rararozuvu
