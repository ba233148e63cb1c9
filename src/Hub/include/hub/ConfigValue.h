#pragma once

#include "hub/Config.h"
#include "templates/Value.h"

namespace hub {

// A configuration as a template value: strings, integers, booleans and null as they are; a float
// as the double its shortest text spells (the float nearest 0.1 gives 0.1); arrays element by
// element; a dictionary as an object in the dictionary's own order; a token as an object with the
// single entry id (decimal text) -> text.
templates::Value templateValue(const Config& config);

}  // namespace hub
