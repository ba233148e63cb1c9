#pragma once

#include <utility>

#include "vevidocore/UnfairLock.h"

namespace vevidocore {

// Keeps one value behind a lock of its own, so that each read, each write and each
// read-modify-write of a shared field is one critical section.
//
// Copies have value semantics: a copy holds its own value and its own lock, so a write to one
// copy never shows in another. Each copy or move of a wrapper reads the source under the
// source's lock.
template <class Value>
class PropertyLock {
public:
    PropertyLock() : value_() {}
    PropertyLock(Value wrappedValue) : value_(std::move(wrappedValue)) {}

    PropertyLock(const PropertyLock& other) : value_(other.wrappedValue()) {}
    PropertyLock(PropertyLock&& other) : value_(other.takeValue()) {}

    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) {
            setWrappedValue(other.wrappedValue());
        }
        return *this;
    }
    PropertyLock& operator=(PropertyLock&& other) {
        if (this != &other) {
            setWrappedValue(other.takeValue());
        }
        return *this;
    }
    PropertyLock& operator=(Value newValue) {
        setWrappedValue(std::move(newValue));
        return *this;
    }

    // A copy of the value, taken under the lock.
    Value wrappedValue() const {
        return lock_.withLock([&]() -> Value { return value_; });
    }

    void setWrappedValue(Value newValue) {
        lock_.withLock([&] { value_ = std::move(newValue); });
    }

    // Changes the value in place under the lock, as one critical section, and returns the
    // body's result: two threads that modify at once never lose one of the changes. The body
    // must not touch this same wrapper (the lock is not recursive). When the body throws, the
    // value keeps whatever change the body had made before, and the exception passes through.
    template <class Body>
    decltype(auto) modify(Body&& body) {
        return lock_.withLock([&]() -> decltype(auto) { return std::forward<Body>(body)(value_); });
    }

    // Reads the value under the lock without copying it, e.g. to write it out as the bare value.
    template <class Reader>
    decltype(auto) withValue(Reader&& reader) const {
        return lock_.withLock([&]() -> decltype(auto) {
            return std::forward<Reader>(reader)(std::as_const(value_));
        });
    }

private:
    Value takeValue() {
        return lock_.withLock([&]() -> Value { return std::move(value_); });
    }

    mutable UnfairLock lock_;
    Value value_;
};

}  // namespace vevidocore
