#include "FatalError.h"

#include <fmt/core.h>

#include <cstdio>
#include <cstdlib>

namespace hub::detail {

void fatalError(std::string_view message, std::string_view source, int line) {
    fmt::print(stderr, "{}:{}: Fatal error: {}\n", source, line, message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace hub::detail
