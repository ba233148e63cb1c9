#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "templates/Unicode.h"

namespace templates {

class Value;
class Environment;

// Keyword arguments handed to a callable: no order; names compare by canonical equivalence.
using KeywordValues =
    std::unordered_map<std::string, Value, unicode::CanonicalHash, unicode::CanonicalEqual>;

// The one callable shape of filters, global functions, string and object methods and `function`
// values: positional values, keyword values by name and the calling scope, giving a value or
// throwing. Implementations must be safe to call from any thread.
using BuiltinFunction =
    std::function<Value(const std::vector<Value>& args, const KeywordValues& kwargs,
                        const std::shared_ptr<Environment>& environment)>;

// The shape of tests: the same arguments, the tested value first, giving true or false.
using BuiltinTest = std::function<bool(const std::vector<Value>& args, const KeywordValues& kwargs,
                                       const std::shared_ptr<Environment>& environment)>;

}  // namespace templates
