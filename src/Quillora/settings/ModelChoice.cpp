#include "quillora/settings/ModelChoice.h"

namespace quillora {

QString rawValue(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast:
            return QStringLiteral("fast");
        case ModelChoice::balanced:
            return QStringLiteral("balanced");
        case ModelChoice::best:
            return QStringLiteral("best");
    }
    return {};
}

std::optional<ModelChoice> modelChoiceFromRawValue(const QString& text) {
    for (ModelChoice choice : allModelChoices) {
        if (rawValue(choice) == text) {
            return choice;
        }
    }
    return std::nullopt;
}

QString speechModel(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast:
            return QStringLiteral("base.en");
        case ModelChoice::balanced:
            return QStringLiteral("small.en");
        case ModelChoice::best:
            return QStringLiteral("large-v3-v20240930_turbo_632MB");
    }
    return {};
}

}  // namespace quillora
