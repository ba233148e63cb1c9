#pragma once

#include <cstddef>
#include <string>

#include "templates/RenderLimits.h"
#include "templates/TemplateError.h"

namespace templates {

// Fails when a text the rendering builds would outgrow the limit.
inline void checkTextLength(std::size_t length, const RenderLimits& limits) {
    if (length > limits.maximumTextLength) {
        throw TemplateError::runtime("Text would exceed the limit of " +
                                     std::to_string(limits.maximumTextLength) + " bytes");
    }
}

}  // namespace templates
