#include "tokenizers/Normalizer.h"

#include "ComponentDescription.h"
#include "hub/Config.h"
#include "tokenizers/TokenizerError.h"

namespace tokenizers {

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const hub::Config* config) {
    const auto type = description::componentType(config);
    if (!type)
        return nullptr;
    throw TokenizerError::invalidDescription("Unsupported Normalizer type: " + *type);
}

}  // namespace tokenizers
