#pragma once

#include "templates/Node.h"
#include "templates/Statement.h"

namespace templates {

// What a {% macro %} definition leaves behind when it runs, held by `macro` values: name,
// parameter names, default expressions by parameter name and body. It is the definition's own
// record, so making one shares the syntax tree instead of copying it.
using Macro = Statement::Macro;

}  // namespace templates
