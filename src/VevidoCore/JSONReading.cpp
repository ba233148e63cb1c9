#include "vevidocore/JSONReading.h"

#include <charconv>
#include <limits>

namespace vevidocore::json {

std::optional<Number> convertNumber(std::string_view text) {
    const bool minus = !text.empty() && text.front() == '-';
    const std::string_view body = minus ? text.substr(1) : text;
    if (body == "NaN") {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (body == "Inf" || body == "Infinity") {
        const double inf = std::numeric_limits<double>::infinity();
        return minus ? -inf : inf;
    }
    const char* const begin = text.data();
    const char* const end = text.data() + text.size();
    if (body.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t i = 0;
        if (auto [stop, error] = std::from_chars(begin, end, i);
            error == std::errc() && stop == end) {
            return i;
        }
        std::uint64_t u = 0;
        if (auto [stop, error] = std::from_chars(begin, end, u);
            !minus && error == std::errc() && stop == end) {
            return u;
        }
    }
    double d = 0;
    const auto [stop, error] = std::from_chars(begin, end, d);
    if (error == std::errc::result_out_of_range) {
        // Beyond the double range: huge is an infinity, tiny a zero.
        const std::size_t exponent = body.find_first_of("eE");
        const bool huge = exponent == std::string_view::npos || exponent + 1 >= body.size() ||
                          body[exponent + 1] != '-';
        const double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
        return minus ? -magnitude : magnitude;
    }
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return d;
}

}  // namespace vevidocore::json
