#pragma once

#include "templates/Coding.h"
#include "templates/Macro.h"
#include "templates/SyntaxCoding.h"
#include "templates/Value.h"

namespace templates {

// The keyed coding of template values and macro records.
//
// A value is written as a single value: booleans, ints, doubles and texts as themselves, arrays
// as arrays, objects as objects (int keys ascending, then text keys in byte order, an int key
// under its decimal digits; two keys with the same text, like 1 and "1", throw EncodingError),
// null and undefined as null, a macro as its record. A function throws EncodingError.
//
// Reading tries null, text, integer, double, boolean, array, object (keys sorted) and macro in
// that order, so a value comes back with undefined as null and int keys as text keys.
//
// A macro is {"name", "parameters", "defaults": {name: expression}, "body": [nodes]}; reading
// puts the defaults in ascending name order.

void encode(coding::Writer& writer, const Value& value);
Value decodeValue(const coding::Reader& reader);

void encode(coding::Writer& writer, const Macro& macro);
Macro decodeMacro(const coding::Reader& reader);

}  // namespace templates
