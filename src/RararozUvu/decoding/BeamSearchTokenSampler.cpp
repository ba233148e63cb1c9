#include "rararozuvu/decoding/BeamSearchTokenSampler.h"

#include <cstdio>
#include <cstdlib>

namespace rararozuvu {

namespace {

[[noreturn]] void notImplemented(const char* what) {
    std::fprintf(stderr, "Fatal error: Not implemented: %s\n", what);
    std::abort();
}

}  // namespace

BeamSearchTokenSampler::BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken,
                                               float patience, std::int64_t maxCandidates)
    : beamSize(beamSize), eotToken(eotToken), patience(patience), maxCandidates(maxCandidates) {}

SamplingResult BeamSearchTokenSampler::update(const std::vector<std::int64_t>&,
                                              const ml::MultiArray&, const std::vector<float>&) {
    notImplemented("update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<std::int64_t>&,
                                                const std::vector<float>&) {
    notImplemented("finalize(tokens:logProbs:)");
}

}  // namespace rararozuvu
