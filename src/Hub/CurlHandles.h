#pragma once

// Owning handles for the libcurl objects only the hub client makes (the easy handle and the header
// list are in hub/Curl.h). Private to the module.

#include <memory>

#include "hub/Curl.h"

namespace hub::detail {

struct CurlMultiDeleter {
    void operator()(CURLM* handle) const noexcept { curl().multi_cleanup(handle); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const noexcept { curl().url_cleanup(url); }
};
struct CurlStringDeleter {
    void operator()(char* text) const noexcept { curl().free(text); }
};

using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Loads and sets up libcurl once per process; every user calls it before making a handle. Without
// the library nothing can be fetched: a HubClientError downloadError, which callers take as the hub
// out of reach (as they do a failed connection), its text saying which library is missing.
void ensureCurlInitialised();

}  // namespace hub::detail
