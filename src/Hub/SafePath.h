#pragma once

// Checks on names that come from the hub before they become paths in the local cache. Private to
// the module.

#include <string>
#include <string_view>

namespace hub::detail {

// The text with control characters shown escaped ("\x1b"), so that a name from the hub cannot
// garble the message or the terminal that shows it.
std::string printable(std::string_view text);

// A path that stays below the folder it is joined to: not empty, not absolute, no empty, "." or
// ".." segment and no NUL.
bool isSafeRelativePath(std::string_view path);

// `text` when it is a short run of [A-Za-z0-9._-], else its SHA-256 in hexadecimal: an entity tag
// made fit to stand inside a file name.
std::string fileNameComponent(std::string_view text);

// Raises EnvironmentError::invalidMetadataError naming `what` and `path` unless the path is safe.
void requireSafeRelativePath(std::string_view path, std::string_view what);

}  // namespace hub::detail
