#pragma once

// The "Authorization" value that a token gives. Private to the module.

#include <optional>
#include <string>

namespace hub::detail {

// "Bearer " and the token. Token files usually end in a line break, which a header cannot carry:
// white space at the end is left out, and a token that still holds a line break (or nothing at
// all) gives no header.
std::optional<std::string> bearerAuthorization(const std::optional<std::string>& token);

}  // namespace hub::detail
