#pragma once

#include <string>
#include <vector>

#include "templates/Token.h"

namespace templates {

// Compact one-line forms for golden comparisons: kind'value'@position for tokens.
std::string printTokens(const std::vector<Token>& tokens);

}  // namespace templates
