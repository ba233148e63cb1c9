#pragma once

#include <cmath>

namespace vevidocore {

// Rounds to `places` decimals, halves away from zero; negative places round to tens, hundreds
// and so on. The scale is computed in single precision, as the stored values are.
inline float rounded(float value, int places) {
    const float scale = std::pow(10.0f, static_cast<float>(places));
    return std::round(value * scale) / scale;
}

}  // namespace vevidocore
