#include "tokenizers/Normalizer.h"

#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const hub::Config* config) {
    if (config == nullptr) return nullptr;
    const auto type = (*config)["type"].string();
    if (!type) return nullptr;
    throw TokenizerError::invalidDescription("Unsupported Normalizer type: " + *type);
}

}  // namespace tokenizers
