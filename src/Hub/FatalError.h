#pragma once

// Stops the program for programming errors that ordinary input cannot cause. Private to the module.

#include <string_view>

namespace hub::detail {

[[noreturn]] void fatalError(std::string_view message, std::string_view source, int line);

}  // namespace hub::detail
