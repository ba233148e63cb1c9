#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "templates/RenderLimits.h"
#include "templates/TemplateError.h"
#include "templates/Unicode.h"

namespace templates {

// Fails when a text the rendering builds would outgrow the limit.
inline void checkTextLength(std::size_t length, const RenderLimits& limits) {
    if (length > limits.maximumTextLength) {
        throw TemplateError::runtime("Text would exceed the limit of " +
                                     std::to_string(limits.maximumTextLength) + " bytes");
    }
}

// Appends `text`, failing when it is longer than `maximumAdded` bytes: what printing a text value
// adds, without a value built around the text.
inline void appendText(std::string& out, std::string_view text, std::size_t maximumAdded) {
    out.append(text);
    if (text.size() > maximumAdded) [[unlikely]] {
        checkTextLength(maximumAdded + 1, RenderLimits{.maximumTextLength = maximumAdded});
    }
}

// Fails when an array the rendering builds would outgrow the limit; checked before building.
inline void checkArrayLength(std::size_t length, const RenderLimits& limits) {
    if (length > limits.maximumArrayLength) {
        throw TemplateError::runtime("Array would exceed the limit of " +
                                     std::to_string(limits.maximumArrayLength) + " elements");
    }
}

// Fails when a text's characters, one value each, would outgrow the array limit. A text of no
// more bytes than the limit cannot have more characters, so only a longer one is counted.
inline void checkCharacterCount(std::string_view text, const RenderLimits& limits) {
    if (text.size() > limits.maximumArrayLength) {
        checkArrayLength(unicode::characterCount(text), limits);
    }
}

}  // namespace templates
