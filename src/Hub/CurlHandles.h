#pragma once

// Owning handles for the libcurl objects only the hub client makes (the easy handle and the header
// list are in hub/Curl.h). Private to the module.

#include <memory>

#include "hub/Curl.h"

namespace hub::detail {

using CurlMulti = std::unique_ptr<CURLM, CurlRelease<&CurlApi::multi_cleanup>>;
using CurlUrl = std::unique_ptr<CURLU, CurlRelease<&CurlApi::url_cleanup>>;
using CurlString = std::unique_ptr<char, CurlRelease<&CurlApi::free>>;

// Loads and sets up libcurl once per process; every user calls it before making a handle. Without
// the library nothing can be fetched: a HubClientError downloadError, which callers take as the hub
// out of reach (as they do a failed connection), its text saying which library is missing.
void ensureCurlInitialised();

}  // namespace hub::detail
