#pragma once

// The three speech-model choices the user picks between, stored by their raw text.

#include <QString>

#include <array>
#include <optional>

namespace quillora {

enum class ModelChoice { fast, balanced, best };

inline constexpr std::array<ModelChoice, 3> allModelChoices{
    ModelChoice::fast, ModelChoice::balanced, ModelChoice::best};

// "fast", "balanced" or "best"; also the choice's identity in lists.
QString rawValue(ModelChoice choice);
// The choice for one of the three raw texts; nothing for any other text.
std::optional<ModelChoice> modelChoiceFromRawValue(const QString& rawValue);
// The speech model a choice loads.
QString speechModel(ModelChoice choice);

}  // namespace quillora
