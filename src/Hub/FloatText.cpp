#include "FloatText.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace hub::detail {

std::string floatDescription(float f) {
    if (std::isnan(f)) {
        return "nan";
    }
    if (std::isinf(f)) {
        return f < 0 ? "-inf" : "inf";
    }
    std::string sign = std::signbit(f) ? "-" : "";
    if (f == 0.0f) {
        return sign + "0.0";
    }
    // Shortest round-trip digits in scientific form: "d[.ddd]e±XX".
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(f), std::chars_format::scientific);
    const std::string text(buffer, result.ptr);
    const std::size_t e = text.find('e');
    std::string digits = text.substr(0, e);
    if (digits.size() > 1) {
        digits.erase(1, 1);  // drop the decimal point
    }
    const int exponent = std::atoi(text.c_str() + e + 1);
    // The value is 0.<digits> times 10^pointPosition.
    const int pointPosition = exponent + 1;
    const auto count = static_cast<int>(digits.size());

    if (pointPosition < -3 || std::fabs(f) > 16777216.0f) {
        std::string out = sign + digits.substr(0, 1);
        if (count > 1) {
            out += "." + digits.substr(1);
        }
        const int shown = pointPosition - 1;
        std::string magnitude = std::to_string(std::abs(shown));
        if (magnitude.size() < 2) {
            magnitude.insert(0, "0");
        }
        return out + (shown < 0 ? "e-" : "e+") + magnitude;
    }
    if (pointPosition <= 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(-pointPosition), '0') + digits;
    }
    if (pointPosition >= count) {
        return sign + digits + std::string(static_cast<std::size_t>(pointPosition - count), '0') +
               ".0";
    }
    return sign + digits.substr(0, static_cast<std::size_t>(pointPosition)) + "." +
           digits.substr(static_cast<std::size_t>(pointPosition));
}

}  // namespace hub::detail
