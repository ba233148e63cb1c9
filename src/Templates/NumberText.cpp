#include "NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace templates::numbertext {

namespace {

// The shortest round-trip digits of a finite, non-zero magnitude and its decimal exponent E, so
// that the value is d1.d2...dn times ten to the power E.
struct Digits {
    char text[24];
    int count = 0;
    int exponent = 0;
};

Digits shortestDigits(double magnitude) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    Digits digits;
    const std::size_t e = text.find('e');
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') {
            digits.text[digits.count++] = text[i];
        }
    }
    // std::to_chars gives the shortest form, so there are no trailing zeros past the first digit.
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    digits.exponent);
    return digits;
}

void appendExponentForm(std::string& out, const Digits& digits) {
    out.push_back(digits.text[0]);
    if (digits.count > 1) {
        out.push_back('.');
        out.append(digits.text + 1, static_cast<std::size_t>(digits.count - 1));
    }
    out.push_back('e');
    out.push_back(digits.exponent < 0 ? '-' : '+');
    const int magnitude = std::abs(digits.exponent);
    if (magnitude < 10) {
        out.push_back('0');
    }
    char buffer[8];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    out.append(buffer, result.ptr);
}

void appendFixedForm(std::string& out, const Digits& digits) {
    const std::string_view text(digits.text, static_cast<std::size_t>(digits.count));
    if (digits.exponent < 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-digits.exponent - 1), '0');
        out.append(text);
        return;
    }
    const auto integerDigits = static_cast<std::size_t>(digits.exponent) + 1;
    if (text.size() <= integerDigits) {
        out.append(text);
        out.append(integerDigits - text.size(), '0');
        out.append(".0");
    } else {
        out.append(text.substr(0, integerDigits));
        out.push_back('.');
        out.append(text.substr(integerDigits));
    }
}

// The words for the values without digits, and where the exponent form begins.
struct Spelling {
    const char* nan;
    const char* infinity;
    const char* negativeInfinity;
    bool (*useExponent)(double magnitude, int exponent);
};

void appendWith(std::string& out, double value, const Spelling& spelling) {
    if (std::isnan(value)) {
        out.append(spelling.nan);
        return;
    }
    if (std::isinf(value)) {
        out.append(value > 0 ? spelling.infinity : spelling.negativeInfinity);
        return;
    }
    if (value == 0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    if (std::signbit(value)) {
        out.push_back('-');
    }
    const double magnitude = std::fabs(value);
    const Digits digits = shortestDigits(magnitude);
    if (spelling.useExponent(magnitude, digits.exponent)) {
        appendExponentForm(out, digits);
    } else {
        appendFixedForm(out, digits);
    }
}

}  // namespace

void appendDouble(std::string& out, double value) {
    static constexpr Spelling spelling{"nan", "inf", "-inf", [](double magnitude, int exponent) {
                                           return exponent < -4 || magnitude > 18014398509481984.0;
                                       }};
    appendWith(out, value, spelling);
}

void appendJSONDouble(std::string& out, double value) {
    static constexpr Spelling spelling{"NaN", "Infinity", "-Infinity", [](double, int exponent) {
                                           return exponent < -4 || exponent > 15;
                                       }};
    appendWith(out, value, spelling);
}

void appendInt(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace templates::numbertext
