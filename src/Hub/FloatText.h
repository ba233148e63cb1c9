#pragma once

// Text forms of 32-bit floats. Private to the module.

#include <string>

namespace hub::detail {

// The shortest digits that read back as the same float, laid out as "1.0", "0.0001", "1e-05",
// "1.6777218e+07", "inf", "-inf" or "nan": decimal notation unless the value is below 1e-4 or
// above 2^24.
std::string floatDescription(float f);

}  // namespace hub::detail
