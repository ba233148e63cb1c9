#include "TextTrimming.h"

#include <stdexcept>

#include "tokenizers/Regex.h"

namespace quillora::detail {

std::string trimmingWhiteSpace(std::string_view text) {
    static const tokenizers::Regex ends = [] {
        auto regex = tokenizers::Regex::compile(R"(^\p{White_Space}+|\p{White_Space}+$)");
        if (!regex) {
            throw std::logic_error("the trimming pattern does not compile");
        }
        return *std::move(regex);
    }();
    return ends.replacingMatches(text, "");
}

}  // namespace quillora::detail
