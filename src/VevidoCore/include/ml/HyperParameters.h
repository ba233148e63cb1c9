#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ml {

// The named settings a program is built from (widths, layer counts, token ids ...), as a model
// bundle stores them. Values are booleans, integers, numbers, texts, lists of integers or lists
// of integer lists.
class HyperParameters {
public:
    using IntegerList = std::vector<std::int64_t>;
    using IntegerRows = std::vector<std::vector<std::int64_t>>;
    using Value = std::variant<bool, std::int64_t, double, std::string, IntegerList, IntegerRows>;

    void set(std::string name, Value value) {
        values_.insert_or_assign(std::move(name), std::move(value));
    }
    const Value* find(std::string_view name) const;
    const std::map<std::string, Value, std::less<>>& values() const { return values_; }

    // The named value of the asked-for kind. Throws ModelError (io) naming the parameter when it
    // is missing or of another kind, since a program cannot be built without it.
    std::int64_t integer(std::string_view name) const;
    double number(std::string_view name) const;  // an integer is accepted too
    const std::string& text(std::string_view name) const;
    const IntegerRows& integerRows(std::string_view name) const;
    // Absent when missing; throws when present but of another kind.
    std::optional<std::int64_t> optionalInteger(std::string_view name) const;
    std::optional<bool> optionalBoolean(std::string_view name) const;
    std::optional<IntegerRows> optionalIntegerRows(std::string_view name) const;

    friend bool operator==(const HyperParameters&, const HyperParameters&) = default;

private:
    template <class T>
    const T* get(std::string_view name, std::string_view kind, bool required) const;

    std::map<std::string, Value, std::less<>> values_;
};

}  // namespace ml
