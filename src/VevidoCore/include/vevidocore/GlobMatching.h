#pragma once

#include <string>
#include <vector>

namespace vevidocore {

// The texts that the shell-style pattern matches, in order. No flags: "*" and "?" also match "/"
// and a leading ".", and a backslash quotes the next character.
std::vector<std::string> matching(const std::vector<std::string>& texts, const std::string& glob);

}  // namespace vevidocore
