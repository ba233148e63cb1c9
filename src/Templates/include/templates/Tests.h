#pragma once

#include <string>
#include <unordered_map>

#include "templates/BuiltinFunction.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

using TestTable =
    std::unordered_map<std::string, BuiltinTest, unicode::CanonicalHash, unicode::CanonicalEqual>;

// The built-in tests of `x is name(...)`: the tested value first among the positional values;
// tests receive no keyword values from templates.
class Tests {
public:
    Tests() = delete;

    // Built once, on first use, from the rows listed in Tests.cpp; read-only afterwards.
    static const TestTable& builtIn();

    // `sameas`: ordering equality (1 is the same as 1.0), and identity of booleans and of none,
    // which have no order. Other unordered pairs throw the comparison error.
    static bool sameas(const Value& a, const Value& b);
};

}  // namespace templates
