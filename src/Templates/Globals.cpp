#include "templates/Globals.h"

namespace templates {

const ordered::OrderedDictionary<std::string, Value>& Globals::builtIn() {
    // Rows: global name, then its function value.
    static const ordered::OrderedDictionary<std::string, Value> table{};
    return table;
}

}  // namespace templates
