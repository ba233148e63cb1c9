#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
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

// The position of T among the alternatives of the variant V.
template <class T, class V>
struct AlternativeIndex;
template <class T, class... Ts>
struct AlternativeIndex<T, std::variant<Ts...>> {
    static constexpr std::size_t value = [] {
        constexpr bool matches[] = {std::is_same_v<T, Ts>...};
        std::size_t index = 0;
        while (index < sizeof...(Ts) && !matches[index]) {
            ++index;
        }
        return index;
    }();
    static_assert(value < sizeof...(Ts), "not an alternative of the variant");
};

// What the syntax types with cases (expression, statement, node) offer over their payload, a
// variant whose alternative index is the type's Kind. as() throws std::bad_variant_access for
// another case, getIf() gives null.
//
// Each type also keeps its kind in a byte of its own, set once with the payload: storedKind().
// A variant keeps its index behind its largest case, often a cache line away from the fields a
// step of the interpreter reads, so the case is told from that byte instead, and the index is
// never loaded on the way to a case's fields.
template <class Derived>
class SyntaxCases : public SyntaxHash<Derived> {
public:
    auto kind() const noexcept { return self().storedKind(); }
    template <class T>
    const T& as() const {
        if (!holds<T>()) {
            throw std::bad_variant_access();
        }
        return unchecked<T>();
    }
    template <class T>
    const T* getIf() const noexcept {
        return holds<T>() ? &unchecked<T>() : nullptr;
    }

private:
    template <class T>
    static constexpr std::size_t indexOf = AlternativeIndex<T, typename Derived::Payload>::value;

    template <class T>
    bool holds() const noexcept {
        return static_cast<std::size_t>(kind()) == indexOf<T>;
    }
    // Only once holds<T>(): the stored kind and the variant's index agree from construction on,
    // and saying so lets the compiler drop the variant's own check, the load of its index with it.
    template <class T>
    const T& unchecked() const noexcept {
        const auto& payload = self().payload();
        if (payload.index() != indexOf<T>) {
            __builtin_unreachable();
        }
        return *std::get_if<indexOf<T>>(&payload);
    }

    const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

}  // namespace templates
