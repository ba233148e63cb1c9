#pragma once

// Scalar-wise case mapping shared by the configuration types. Private to the module.

#include <string>

namespace hub::detail {

// Appends the full lower-case mapping of one scalar (which may be several scalars).
void appendLowercasedScalar(std::u16string& out, char32_t c);

}  // namespace hub::detail
