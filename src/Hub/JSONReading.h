#pragma once

// The one JSON reading path behind the configuration loader and the configuration decoder.
// Private to the module.

#include <string_view>

#include "hub/Config.h"

namespace hub::detail {

enum class JSONDialect {
    // The loader: infinity and not-a-number literals allowed; integers in the signed 64-bit
    // range are integers, every other number a float; arrays stay arrays.
    loader,
    // The generic decoder: standard JSON only; a whole number in range is an integer whatever
    // its spelling, a number beyond the float range is null, and [non-negative integer, text]
    // is a token.
    decoder,
};

// Raises YYJSONParser::ParseError for malformed input.
Config readJSON(std::string_view bytes, JSONDialect dialect);

}  // namespace hub::detail
