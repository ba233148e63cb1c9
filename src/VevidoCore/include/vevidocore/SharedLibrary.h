#pragma once

// Shared libraries opened on first use instead of linked: a process that never downloads, records
// or decodes does not pay at start for those libraries and the many they pull in. A user keeps a
// table of function pointers typed from the library's own header declarations, fills it once
// under a LoadOnce and reads it afterwards.

#include <atomic>
#include <mutex>
#include <utility>

namespace vevidocore {

// An open library. Never closed: objects it made may be freed as late as static destruction,
// and its threads and callbacks may still run until then.
class SharedLibrary {
public:
    // Opens `soname` with every symbol bound at once. `kind` names the library in errors
    // ("libcurl", "FFmpeg"). Throws std::runtime_error naming the library and the loader's reason.
    SharedLibrary(const char* soname, const char* kind);

    // Sets `function` to the symbol `name` of this library or of one it depends on. Throws
    // std::runtime_error naming the library and the missing function.
    template <class Function>
    void resolve(const char* name, Function& function) const {
        function = reinterpret_cast<Function>(symbol(name));
    }

    // Sets `function` to the symbol `name` if the library has it, else to null: for functions
    // outside the library's public interface, which a build may lack.
    template <class Function>
    void resolveIfPresent(const char* name, Function& function) const {
        function = reinterpret_cast<Function>(symbolIfPresent(name));
    }

private:
    void* symbol(const char* name) const;
    void* symbolIfPresent(const char* name) const;

    void* handle_;
    const char* soname_;
    const char* kind_;
};

// Runs a loader once to success. A loader that throws leaves nothing marked and is run again by
// the next call; calls meanwhile wait for the one running. Whatever the loader wrote is visible to
// every caller that returned.
class LoadOnce {
public:
    template <class Load>
    void operator()(Load&& load) {
        if (loaded_.load(std::memory_order_acquire)) {
            return;
        }
        std::lock_guard lock(mutex_);
        if (!loaded_.load(std::memory_order_relaxed)) {
            std::forward<Load>(load)();
            loaded_.store(true, std::memory_order_release);
        }
    }

private:
    std::mutex mutex_;
    std::atomic<bool> loaded_{false};
};

}  // namespace vevidocore
