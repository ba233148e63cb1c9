#pragma once

#include <exception>
#include <string>
#include <utility>

#include "hub/Config.h"

namespace hub {

// A failure to read a configuration value as a given kind. Lookups and accessors never raise it
// (they give null or no value); clients raise it where a missing or mistyped setting is an error,
// and encoding raises it for a value that has no JSON form.
class ConfigError : public std::exception {
public:
    enum class Case { typeMismatch, typeConversionFailed };

    static ConfigError typeMismatch(Config expected, Config actual) {
        return ConfigError(Case::typeMismatch, std::move(expected), std::move(actual), {}, {});
    }
    // `value` is the printed value, `targetType` the name of the type it was to become.
    static ConfigError typeConversionFailed(std::string value, std::string targetType) {
        return ConfigError(Case::typeConversionFailed, {}, {}, std::move(value),
                           std::move(targetType));
    }

    Case errorCase() const noexcept { return case_; }
    const Config& expected() const noexcept { return expected_; }
    const Config& actual() const noexcept { return actual_; }
    const std::string& value() const noexcept { return value_; }
    const std::string& targetType() const noexcept { return targetType_; }

    const char* what() const noexcept override { return description_.c_str(); }

private:
    ConfigError(Case c, Config expected, Config actual, std::string value, std::string targetType);

    Case case_;
    Config expected_;
    Config actual_;
    std::string value_;
    std::string targetType_;
    std::string description_;
};

}  // namespace hub
