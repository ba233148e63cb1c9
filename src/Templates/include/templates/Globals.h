#pragma once

#include <string>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/Value.h"

namespace templates {

// The global functions every template reaches by name: each root scope receives these entries
// over any variable of the same name.
class Globals {
public:
    Globals() = delete;

    // Function values by name, built once on first use from the rows listed in Globals.cpp;
    // read-only afterwards.
    static const ordered::OrderedDictionary<std::string, Value>& builtIn();
};

}  // namespace templates
