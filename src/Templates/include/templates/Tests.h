#pragma once

#include <string>
#include <unordered_map>

#include "templates/BuiltinFunction.h"
#include "templates/Unicode.h"

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
};

}  // namespace templates
