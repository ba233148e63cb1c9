#pragma once

#include <string>
#include <string_view>

namespace vevidocore {

// Turns a configured folder into an absolute path: a leading "~" or "~user" becomes that home
// folder, and a relative path is taken below the current directory. Paths are not normalised
// ("." and ".." stay as given).
std::string resolveAbsolutePath(std::string_view path);

}  // namespace vevidocore
