#pragma once

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace rararozuvu {

// The outcome of one item of a batch that goes on past failures: the item's value, or the error
// that stopped it, kept as it was thrown so the caller can rethrow or inspect it.
template <class T>
class Result {
public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    // `error` must hold an exception.
    static Result failure(std::exception_ptr error) {
        return Result(std::in_place_index<1>, std::move(error));
    }
    // The exception being handled, as a failure; call inside a catch block.
    static Result currentFailure() { return failure(std::current_exception()); }

    bool isSuccess() const noexcept { return outcome_.index() == 0; }
    bool isFailure() const noexcept { return !isSuccess(); }

    // The value; a failure rethrows its error.
    const T& get() const& {
        if (isFailure())
            std::rethrow_exception(std::get<1>(outcome_));
        return std::get<0>(outcome_);
    }
    T&& get() && {
        if (isFailure())
            std::rethrow_exception(std::get<1>(outcome_));
        return std::get<0>(std::move(outcome_));
    }
    // The error of a failure, empty for a success.
    std::exception_ptr error() const noexcept {
        return isFailure() ? std::get<1>(outcome_) : std::exception_ptr();
    }
    // The failure's what(), "unknown error" for an error that is no std::exception, empty for a
    // success.
    std::string errorDescription() const {
        if (isSuccess())
            return {};
        try {
            std::rethrow_exception(std::get<1>(outcome_));
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
            return "unknown error";
        }
    }

private:
    template <std::size_t I, class V>
    Result(std::in_place_index_t<I> index, V&& value) : outcome_(index, std::forward<V>(value)) {}

    std::variant<T, std::exception_ptr> outcome_;
};

}  // namespace rararozuvu
