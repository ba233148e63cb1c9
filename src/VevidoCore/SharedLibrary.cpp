#include "vevidocore/SharedLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace vevidocore {

SharedLibrary::SharedLibrary(const char* soname, const char* kind)
    : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)), soname_(soname), kind_(kind) {
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error(std::string("cannot load the ") + kind + " library " + soname +
                                 ": " + (reason != nullptr ? reason : "unknown error"));
    }
}

void* SharedLibrary::symbolIfPresent(const char* name) const {
    return dlsym(handle_, name);
}

void* SharedLibrary::symbol(const char* name) const {
    void* found = symbolIfPresent(name);
    if (found == nullptr) {
        throw std::runtime_error(std::string("the ") + kind_ + " library " + soname_ + " lacks " +
                                 name);
    }
    return found;
}

}  // namespace vevidocore
