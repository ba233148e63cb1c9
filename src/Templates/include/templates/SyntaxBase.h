#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "templates/Hasher.h"

namespace templates {

// The hash every syntax type (token, expression, statement, node) gives from its hashInto: the
// default seed, or a given one.
template <class Derived>
class SyntaxHash {
public:
    std::size_t hashValue() const { return finished(Hasher()); }
    std::size_t hashValue(std::uint64_t seed) const { return finished(Hasher(seed)); }

private:
    std::size_t finished(Hasher hasher) const {
        static_cast<const Derived&>(*this).hashInto(hasher);
        return static_cast<std::size_t>(hasher.finalize());
    }
};

// What the syntax types with cases (expression, statement, node) offer over their payload, a
// variant whose alternative index is the type's Kind. as() throws std::bad_variant_access for
// another case, getIf() gives null.
template <class Derived>
class SyntaxCases : public SyntaxHash<Derived> {
public:
    auto kind() const noexcept {
        return static_cast<typename Derived::Kind>(self().payload().index());
    }
    template <class T>
    const T& as() const {
        return std::get<T>(self().payload());
    }
    template <class T>
    const T* getIf() const noexcept {
        return std::get_if<T>(&self().payload());
    }

private:
    const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

}  // namespace templates
