#pragma once

#include <array>
#include <string_view>

namespace rararozuvu {

// The size family of a Whisper model, told from the decoder's vocabulary and the encoder's width.
enum class ModelVariant {
    tiny,
    tinyEn,
    base,
    baseEn,
    small,
    smallEn,
    medium,
    mediumEn,
    large,
    largev2,
    largev3,
};

inline constexpr std::array<ModelVariant, 11> allModelVariants = {
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,    ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium,  ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3,
};

// "tiny", "tiny.en", ..., "large-v2", "large-v3".
std::string_view description(ModelVariant variant);

// False only for the English-only families.
constexpr bool isMultilingual(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tinyEn:
        case ModelVariant::baseEn:
        case ModelVariant::smallEn:
        case ModelVariant::mediumEn:
            return false;
        default:
            return true;
    }
}

}  // namespace rararozuvu
