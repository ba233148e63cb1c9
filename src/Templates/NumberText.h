#pragma once

#include <cstdint>
#include <string>

namespace templates::numbertext {

// The two ways a double becomes text. Both start from the shortest digit string that reads back
// as the same double; they differ only in where the exponent form begins.

// How values print: "nan", "inf", "-inf"; exponent form below 1e-4 and above 2^54; otherwise
// fixed with at least one digit after the point ("1.0", "1e+20", "1e-05").
void appendDouble(std::string& out, double value);

// How JSON writes a double: "NaN", "Infinity", "-Infinity"; exponent form below 1e-4 and from
// 1e16 on; otherwise fixed ("1000000000000000.0", "1e+16").
void appendJSONDouble(std::string& out, double value);

void appendInt(std::string& out, std::int64_t value);

}  // namespace templates::numbertext
