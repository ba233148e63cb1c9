#pragma once

// Trimming as the application's texts need it, private to the text services.

#include <string>
#include <string_view>

namespace quillora::detail {

// The text without Unicode white space (line breaks included) at either end.
std::string trimmingWhiteSpace(std::string_view text);

}  // namespace quillora::detail
