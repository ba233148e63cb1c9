#pragma once

// libcurl, opened on first use instead of linked: it pulls in TLS, Kerberos, LDAP, SSH and more,
// which a process that never downloads should not pay for at start.

#include <curl/curl.h>

#include <memory>
#include <type_traits>

namespace hub {

// The functions used, as in curl.h less their "curl_" prefix: curl.h also defines
// curl_easy_setopt and curl_easy_getinfo as macros, which the short names stay clear of.
#define QUILLORA_CURL_FUNCTIONS(X) \
    X(global_init)                 \
    X(global_cleanup)              \
    X(free)                        \
    X(easy_init)                   \
    X(easy_cleanup)                \
    X(easy_perform)                \
    X(easy_strerror)               \
    X(easy_setopt)                 \
    X(easy_getinfo)                \
    X(multi_init)                  \
    X(multi_cleanup)               \
    X(multi_add_handle)            \
    X(multi_remove_handle)         \
    X(multi_perform)               \
    X(multi_poll)                  \
    X(multi_wakeup)                \
    X(multi_info_read)             \
    X(multi_strerror)              \
    X(slist_append)                \
    X(slist_free_all)              \
    X(url)                         \
    X(url_cleanup)                 \
    X(url_set)                     \
    X(url_get)

struct CurlApi {
#define QUILLORA_CURL_POINTER(name) decltype(&::curl_##name) name = nullptr;
    QUILLORA_CURL_FUNCTIONS(QUILLORA_CURL_POINTER)
#undef QUILLORA_CURL_POINTER
};

// The table, loading libcurl and setting it up for the process on the first call; every user calls
// it before making a handle. Throws std::runtime_error naming the library that cannot be loaded or
// the function it lacks.
const CurlApi& curlLibrary();
// The table as loaded: for code that only runs once curlLibrary() has succeeded.
const CurlApi& curl() noexcept;

// Releases a libcurl object through the table's function `release`, e.g. &CurlApi::easy_cleanup.
template <auto release>
struct CurlRelease {
    template <class T>
    void operator()(T* object) const noexcept {
        (curl().*release)(object);
    }
};

// Owning handles for a transfer and its header list.
using CurlEasy = std::unique_ptr<CURL, CurlRelease<&CurlApi::easy_cleanup>>;
using CurlSlist = std::unique_ptr<curl_slist, CurlRelease<&CurlApi::slist_free_all>>;

// libcurl reads an option's value as the type the option's number says: a long, a curl_off_t or a
// pointer. Only those are taken here (not an int or a bool, which it would misread), and an
// option of the other kind is refused with CURLE_BAD_FUNCTION_ARGUMENT.
template <class Value>
CURLcode setCurlOption(CURL* handle, CURLoption option, Value value) {
    constexpr bool isNumber = std::is_same_v<Value, long> || std::is_same_v<Value, curl_off_t>;
    static_assert(isNumber || std::is_pointer_v<Value>,
                  "libcurl takes an option as a long, a curl_off_t or a pointer");
    const bool wantsNumber = option < CURLOPTTYPE_OBJECTPOINT ||
                             (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB);
    if (wantsNumber != isNumber) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    return curl().easy_setopt(handle, option, value);
}

// The same for a transfer's information: the place must be of the type the item's number says.
template <class Value>
CURLcode curlInfo(CURL* handle, CURLINFO info, Value* value) {
    bool fits = false;
    switch (info & CURLINFO_TYPEMASK) {
        case CURLINFO_LONG:
            fits = std::is_same_v<Value, long>;
            break;
        case CURLINFO_OFF_T:
            fits = std::is_same_v<Value, curl_off_t>;
            break;
        case CURLINFO_DOUBLE:
            fits = std::is_same_v<Value, double>;
            break;
        case CURLINFO_STRING:
            fits = std::is_same_v<Value, char*>;
            break;
        default:
            // Lists, pointers and sockets: each item has a type of its own, left to the caller.
            fits = true;
            break;
    }
    if (!fits) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    return curl().easy_getinfo(handle, info, value);
}

}  // namespace hub
