#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "templates/BuiltinFunction.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

using FilterTable = std::unordered_map<std::string, BuiltinFunction, unicode::CanonicalHash,
                                       unicode::CanonicalEqual>;

// The built-in filters. A filter receives the filtered value as its first positional value,
// then the values written in the call, the keyword values by name and the calling scope; it
// binds its own parameters with resolveCallArguments. The interpreter gives a function-valued
// variable of the same name the first chance before it looks here.
class Filters {
public:
    Filters() = delete;

    // Built once, on first use (safely under concurrent first use), from the rows listed in
    // Filters.cpp; read-only afterwards.
    static const FilterTable& builtIn();

    // The value as JSON text under the scope's policies; parameters indent and ensure_ascii.
    static Value tojson(const std::vector<Value>& args, const KeywordValues& kwargs,
                        const std::shared_ptr<Environment>& environment);
};

}  // namespace templates
