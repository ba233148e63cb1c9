#include "hub/Curl.h"

#include <stdexcept>
#include <string>

#include "vevidocore/SharedLibrary.h"

namespace hub {

namespace {

// The library's name has kept this major version since 2006, through curl 7 and 8.
constexpr const char* curlName = "libcurl.so.4";

CurlApi api;
vevidocore::LoadOnce loading;

struct CurlGlobal {
    CurlGlobal() {
        if (const CURLcode code = api.global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
            throw std::runtime_error(std::string("cannot set up ") + curlName + ": " +
                                     api.easy_strerror(code));
        }
    }
    ~CurlGlobal() { api.global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

}  // namespace

const CurlApi& curlLibrary() {
    loading([] {
        const vevidocore::SharedLibrary library(curlName, "libcurl");
#define QUILLORA_CURL_RESOLVE(name) library.resolve("curl_" #name, api.name);
        QUILLORA_CURL_FUNCTIONS(QUILLORA_CURL_RESOLVE)
#undef QUILLORA_CURL_RESOLVE
        static const CurlGlobal global;
    });
    return api;
}

const CurlApi& curl() noexcept {
    return api;
}

}  // namespace hub
