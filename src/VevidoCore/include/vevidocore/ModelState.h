#pragma once

#include <ostream>
#include <string_view>

namespace vevidocore {

// Where a set of models stands. The order is the case index: the states of an operation in
// progress sit at the even indices.
enum class ModelState {
    unloading,
    unloaded,
    loading,
    loaded,
    prewarming,
    prewarmed,
    downloading,
    downloaded,
};

// The state as the user reads it ("Specializing" and "Specialized" for the prewarming states).
std::string_view description(ModelState state);

// True while an operation is in progress (unloading, loading, prewarming, downloading).
bool isBusy(ModelState state);

std::ostream& operator<<(std::ostream& stream, ModelState state);

}  // namespace vevidocore
