#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace hub {
class Config;
}

namespace tokenizers {

// Rewrites the input text before it is split and tokenized. Immutable after construction and
// safe to share between threads.
class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(std::string_view text) const = 0;
    std::string operator()(std::string_view text) const { return normalize(text); }
};

// Builds the normalizer a description object names by its "type". Nothing for a missing
// description or one without a string "type". No normalizer kind is built yet: every type throws
// TokenizerError (invalidDescription, "Unsupported Normalizer type: " and the type), so a
// description that needs one fails to load instead of tokenizing differently.
struct NormalizerFactory {
    static std::unique_ptr<Normalizer> fromConfig(const hub::Config* config);
};

}  // namespace tokenizers
