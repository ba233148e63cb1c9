#include "hub/Config.h"

#include <fmt/core.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <bit>

#include "CaseMapping.h"
#include "FloatText.h"
#include "hub/ConfigError.h"

namespace hub {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The lenient Boolean reading of a text, compared in lower case.
std::optional<bool> booleanFromText(const BinaryDistinctString& text) {
    const BinaryDistinctString lowered = text.lowercased();
    const std::u16string& lower = lowered.value();
    if (lower == u"true" || lower == u"t" || lower == u"1") {
        return true;
    }
    if (lower == u"false" || lower == u"f" || lower == u"0") {
        return false;
    }
    return std::nullopt;
}

// Later pairs replace earlier ones under an equal key.
template <class Pairs>
Config::Dictionary dictionaryFromPairs(const Pairs& pairs) {
    Config::Dictionary d;
    d.reserve(std::size(pairs));
    for (const auto& [key, value] : pairs) {
        d.insert_or_assign(BinaryDistinctString(key), value);
    }
    return d;
}

}  // namespace

Config::Config(Array a) : data_(std::make_shared<const Array>(std::move(a))) {}

Config::Config(Dictionary d) : data_(std::make_shared<const Dictionary>(std::move(d))) {}

Config::Config(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs)
    : Config(dictionaryFromPairs(pairs)) {}

Config::Config(const Pairs& pairs) : Config(dictionaryFromPairs(pairs)) {}

Config::Config(const std::unordered_map<std::string, Config>& dictionary)
    : Config(dictionaryFromPairs(dictionary)) {}

Config Config::operator[](const BinaryDistinctString& key) const {
    return member(key).value_or(Config());
}

std::optional<Config> Config::member(const BinaryDistinctString& name) const {
    const Dictionary* d = dictionary();
    if (d == nullptr) {
        return std::nullopt;
    }
    if (auto it = d->find(name); it != d->end()) {
        return it->second;
    }
    if (auto it = d->find(uncamelCase(name)); it != d->end()) {
        return it->second;
    }
    return Config();
}

Config Config::operator[](std::int64_t index) const {
    const Array* a = array();
    if (a == nullptr || index < 0 || static_cast<std::uint64_t>(index) >= a->size()) {
        return Config();
    }
    return (*a)[static_cast<std::size_t>(index)];
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::u16string& units = key.value();
    std::u16string out;
    out.reserve(units.size() + 4);
    bool previousWasNotUpper = false;
    const auto length = static_cast<int32_t>(units.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(units.data(), i, length, c);
        if (U_IS_SURROGATE(c)) {
            c = 0xFFFD;  // decoding the key replaces an unpaired surrogate
        }
        const int8_t category = u_charType(c);
        if (category == U_UPPERCASE_LETTER || category == U_TITLECASE_LETTER) {
            if (previousWasNotUpper) {
                out.push_back(u'_');
            }
            detail::appendLowercasedScalar(out, static_cast<char32_t>(c));
            previousWasNotUpper = false;
        } else {
            char16_t encoded[2];
            int32_t n = 0;
            U16_APPEND_UNSAFE(encoded, n, c);
            out.append(encoded, encoded + n);
            previousWasNotUpper = true;
        }
    }
    return BinaryDistinctString(std::move(out));
}

std::optional<std::string> Config::string() const {
    if (const auto* s = std::get_if<BinaryDistinctString>(&data_)) {
        return s->string();
    }
    return std::nullopt;
}

std::string Config::string(std::string fallback) const {
    if (const auto* s = std::get_if<BinaryDistinctString>(&data_)) {
        return s->string();
    }
    return fallback;
}

std::optional<BinaryDistinctString> Config::binaryDistinctString() const {
    if (const auto* s = std::get_if<BinaryDistinctString>(&data_)) {
        return *s;
    }
    return std::nullopt;
}

BinaryDistinctString Config::binaryDistinctString(BinaryDistinctString fallback) const {
    if (const auto* s = std::get_if<BinaryDistinctString>(&data_)) {
        return *s;
    }
    return fallback;
}

std::optional<bool> Config::boolean() const {
    return std::visit(Overloaded{
                          [](bool b) -> std::optional<bool> { return b; },
                          [](std::int64_t i) -> std::optional<bool> { return i == 1; },
                          [](const BinaryDistinctString& s) { return booleanFromText(s); },
                          [](const auto&) -> std::optional<bool> { return std::nullopt; },
                      },
                      data_);
}

std::optional<std::int64_t> Config::integer() const {
    if (const auto* i = std::get_if<std::int64_t>(&data_)) {
        return *i;
    }
    return std::nullopt;
}

std::optional<float> Config::floating() const {
    if (const auto* f = std::get_if<float>(&data_)) {
        return *f;
    }
    if (const auto* i = std::get_if<std::int64_t>(&data_)) {
        return static_cast<float>(*i);
    }
    return std::nullopt;
}

const Config::Dictionary* Config::dictionary() const noexcept {
    const auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&data_);
    return d != nullptr ? d->get() : nullptr;
}

const Config::Array* Config::array() const noexcept {
    const auto* a = std::get_if<std::shared_ptr<const Array>>(&data_);
    return a != nullptr ? a->get() : nullptr;
}

std::optional<std::pair<std::uint64_t, std::string>> Config::token() const {
    if (const auto* t = std::get_if<Token>(&data_)) {
        return std::pair{t->id, t->text.string()};
    }
    // Token lists in files spell a token as [text, id].
    const Array* a = array();
    if (a == nullptr || a->size() != 2) {
        return std::nullopt;
    }
    const auto* text = std::get_if<BinaryDistinctString>(&(*a)[0].data_);
    const auto* id = std::get_if<std::int64_t>(&(*a)[1].data_);
    if (text == nullptr || id == nullptr || *id < 0) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::uint64_t>(*id), text->string()};
}

std::pair<std::uint64_t, std::string> Config::token(
    std::pair<std::uint64_t, std::string> fallback) const {
    auto t = token();
    return t ? std::move(*t) : std::move(fallback);
}

template <>
std::optional<std::string> Config::get<std::string>() const {
    return string();
}

template <>
std::optional<BinaryDistinctString> Config::get<BinaryDistinctString>() const {
    return binaryDistinctString();
}

template <>
std::optional<bool> Config::get<bool>() const {
    return boolean();
}

template <>
std::optional<std::int64_t> Config::get<std::int64_t>() const {
    return integer();
}

template <>
std::optional<float> Config::get<float>() const {
    return floating();
}

template <>
std::optional<Config::Dictionary> Config::get<Config::Dictionary>() const {
    if (const Dictionary* d = dictionary()) {
        return *d;
    }
    return std::nullopt;
}

template <>
std::optional<Config::Array> Config::get<Config::Array>() const {
    if (const Array* a = array()) {
        return *a;
    }
    return std::nullopt;
}

template <>
std::optional<std::pair<std::uint64_t, std::string>>
Config::get<std::pair<std::uint64_t, std::string>>() const {
    return token();
}

template <>
std::optional<Config::Token> Config::get<Config::Token>() const {
    if (const auto* t = std::get_if<Token>(&data_)) {
        return *t;
    }
    return std::nullopt;
}

template <>
std::optional<std::unordered_map<BinaryDistinctString, std::int64_t>>
Config::get<std::unordered_map<BinaryDistinctString, std::int64_t>>() const {
    const Dictionary* d = dictionary();
    if (d == nullptr) {
        return std::nullopt;
    }
    std::unordered_map<BinaryDistinctString, std::int64_t> result;
    for (const auto& [key, value] : *d) {
        if (auto i = value.integer()) {
            result.emplace(key, *i);
        }
    }
    return result;
}

template <>
std::optional<std::vector<BinaryDistinctString>> Config::get<std::vector<BinaryDistinctString>>()
    const {
    const Array* a = array();
    if (a == nullptr) {
        return std::nullopt;
    }
    std::vector<BinaryDistinctString> result;
    for (const Config& element : *a) {
        if (const auto* s = std::get_if<BinaryDistinctString>(&element.data_)) {
            result.push_back(*s);
        }
    }
    return result;
}

template <>
std::optional<std::vector<std::string>> Config::get<std::vector<std::string>>() const {
    auto units = get<std::vector<BinaryDistinctString>>();
    if (!units) {
        return std::nullopt;
    }
    std::vector<std::string> result;
    result.reserve(units->size());
    for (const auto& s : *units) {
        result.push_back(s.string());
    }
    return result;
}

namespace {

// Values of different kinds are equal where a lenient reading makes them so. Each rule is written
// for one order of kinds; the caller tries both orders, which keeps equality symmetric.
template <class X, class Y>
std::optional<bool> mixedKindsEqual(const X& x, const Y& y) {
    if constexpr (std::is_same_v<X, BinaryDistinctString> && std::is_same_v<Y, bool>) {
        return booleanFromText(x) == y;
    } else if constexpr (std::is_same_v<X, std::int64_t> && std::is_same_v<Y, float>) {
        return static_cast<float>(x) == y;
    } else if constexpr (std::is_same_v<X, std::int64_t> && std::is_same_v<Y, bool>) {
        return (x == 1) == y;
    } else {
        return std::nullopt;
    }
}

}  // namespace

bool operator==(const Config& a, const Config& b) {
    using Dictionary = Config::Dictionary;
    using Array = Config::Array;
    auto same = Overloaded{
        [](const std::shared_ptr<const Dictionary>& x, const std::shared_ptr<const Dictionary>& y) {
            if (x == y) {
                return true;
            }
            if (x->size() != y->size()) {
                return false;
            }
            return std::all_of(x->begin(), x->end(), [&](const auto& entry) {
                auto it = y->find(entry.first);
                return it != y->end() && entry.second == it->second;
            });
        },
        [](const std::shared_ptr<const Array>& x, const std::shared_ptr<const Array>& y) {
            return x == y || *x == *y;
        },
        [](const auto& x, const auto& y) { return x == y; },
    };
    return std::visit(
        [&](const auto& x, const auto& y) -> bool {
            if constexpr (std::is_same_v<decltype(x), decltype(y)>) {
                return same(x, y);
            } else {
                auto result = mixedKindsEqual(x, y);
                return (result ? result : mixedKindsEqual(y, x)).value_or(false);
            }
        },
        a.data_, b.data_);
}

void Config::hash(Hasher& hasher) const {
    std::visit(Overloaded{
                   [&](std::monostate) { hasher.combine(0); },
                   [&](const BinaryDistinctString& s) {
                       hasher.combine(1);
                       s.hash(hasher);
                   },
                   [&](std::int64_t i) {
                       hasher.combine(2);
                       hasher.combine(static_cast<std::uint64_t>(i));
                   },
                   [&](bool b) {
                       hasher.combine(3);
                       hasher.combine(b ? 1 : 0);
                   },
                   [&](float f) {
                       hasher.combine(4);
                       // Both zeros compare equal, so they must hash alike.
                       hasher.combine(f == 0.0f ? 0u : std::bit_cast<std::uint32_t>(f));
                   },
                   [&](const std::shared_ptr<const Dictionary>& d) {
                       hasher.combine(5);
                       // Entry order is unspecified: combine entry hashes commutatively.
                       std::uint64_t sum = 0;
                       for (const auto& [key, value] : *d) {
                           Hasher entry;
                           key.hash(entry);
                           value.hash(entry);
                           sum += entry.finalize();
                       }
                       hasher.combine(sum);
                   },
                   [&](const std::shared_ptr<const Array>& a) {
                       hasher.combine(6);
                       for (const Config& element : *a) {
                           element.hash(hasher);
                       }
                   },
                   [&](const Token& t) {
                       hasher.combine(7);
                       hasher.combine(t.id);
                       t.text.hash(hasher);
                   },
               },
               data_);
}

std::size_t Config::hashValue() const {
    Hasher hasher;
    hash(hasher);
    return hasher.finalize();
}

std::string Config::description() const {
    return std::visit(
        Overloaded{
            [](std::monostate) -> std::string { return "null"; },
            [](const BinaryDistinctString& s) { return "\"" + s.string() + "\""; },
            [](std::int64_t i) { return fmt::format("{}", i); },
            [](bool b) -> std::string { return b ? "true" : "false"; },
            [](float f) { return detail::floatDescription(f); },
            [](const std::shared_ptr<const Dictionary>& d) {
                if (d->empty()) {
                    return std::string("{[:]}");
                }
                std::string out = "{[";
                bool first = true;
                for (const auto& [key, value] : *d) {
                    out += first ? "" : ", ";
                    out += key.description() + ": " + value.description();
                    first = false;
                }
                return out + "]}";
            },
            [](const std::shared_ptr<const Array>& a) {
                std::string out = "[[";
                for (std::size_t i = 0; i < a->size(); ++i) {
                    out += (i == 0 ? "" : ", ") + (*a)[i].description();
                }
                return out + "]]";
            },
            [](const Token& t) { return fmt::format("({}, {})", t.id, t.text.string()); },
        },
        data_);
}

ConfigError::ConfigError(Case c, Config expected, Config actual, std::string value,
                         std::string targetType)
    : case_(c),
      expected_(std::move(expected)),
      actual_(std::move(actual)),
      value_(std::move(value)),
      targetType_(std::move(targetType)) {
    description_ = case_ == Case::typeMismatch
                       ? fmt::format("Type mismatch: expected {}, found {}",
                                     expected_.description(), actual_.description())
                       : fmt::format("Cannot convert {} to {}", value_, targetType_);
}

}  // namespace hub
