#include "rararozuvu/models/ModelSupportConfig.h"

#include <algorithm>
#include <unordered_set>

#include "../results/JSONCoding.h"
#include "rararozuvu/models/Constants.h"
#include "vevidocore/Deduplication.h"
#include "vevidocore/Logging.h"

namespace rararozuvu {

namespace {

std::vector<std::string> joined(const std::vector<std::string>& first,
                                const std::vector<std::string>& second) {
    std::vector<std::string> all = first;
    all.insert(all.end(), second.begin(), second.end());
    return vevidocore::orderedSet(all);
}

// ["Mac14", "Mac15"]
std::string quotedList(const std::vector<std::string>& texts) {
    std::string list = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        list += (i == 0 ? "\"" : ", \"") + texts[i] + "\"";
    }
    return list + "]";
}

DeviceSupport readDeviceSupport(const json::Value& value) {
    const json::ObjectReader device(value, "DeviceSupport");
    DeviceSupport row;
    if (const json::Value* chips = device.optional("chips")) {
        row.chips = json::readString(*chips);
    }
    row.identifiers = json::readStrings(device.required("identifiers"));
    const json::ObjectReader models(device.required("models"), "ModelSupport");
    row.models.defaultModel = json::readString(models.required("default"));
    row.models.supported = json::readStrings(models.required("supported"));
    return row;
}

void writeStrings(json::Writer& writer, const std::vector<std::string>& texts) {
    writer.startArray();
    for (const std::string& text : texts) {
        writer.value(text);
    }
    writer.endArray();
}

}  // namespace

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports,
                                       bool includeFallback)
    : repoName(std::move(repoName)),
      repoVersion(std::move(repoVersion)),
      deviceSupports(std::move(deviceSupports)) {
    if (includeFallback) {
        const ModelSupportConfig& fallback = Constants::fallbackModelSupportConfig();
        if (fallback.repoName.find(this->repoName) != std::string::npos) {
            this->deviceSupports =
                mergeDeviceSupport(this->deviceSupports, fallback.deviceSupports);
        }
    }
    std::vector<std::string> named;
    for (const DeviceSupport& row : this->deviceSupports) {
        named.insert(named.end(), row.models.supported.begin(), row.models.supported.end());
    }
    knownModels = vevidocore::orderedSet(named);
    defaultSupport =
        DeviceSupport{std::nullopt, {}, ModelSupport{"openai_whisper-base", knownModels, {}}};
    computeDisabledModels();
}

ModelSupport ModelSupportConfig::modelSupport(std::string_view deviceName) const {
    const DeviceSupport* match = nullptr;
    std::size_t matchLength = 0;
    for (const DeviceSupport& row : deviceSupports) {
        for (const std::string& identifier : row.identifiers) {
            // Only a strictly longer prefix replaces an earlier match.
            if (deviceName.starts_with(identifier) && (!match || identifier.size() > matchLength)) {
                match = &row;
                matchLength = identifier.size();
            }
        }
    }
    if (match) {
        vevidocore::Logging::debug("Matched " + std::string(deviceName) +
                                   " to devices: " + quotedList(match->identifiers));
        return match->models;
    }
    vevidocore::Logging::info("No device support found for " + std::string(deviceName) +
                              ", using default");
    return defaultSupport.models;
}

void ModelSupportConfig::computeDisabledModels() {
    for (DeviceSupport& row : deviceSupports) {
        const std::unordered_set<std::string> supported(row.models.supported.begin(),
                                                        row.models.supported.end());
        row.models.disabled.clear();
        for (const std::string& model : knownModels) {
            if (!supported.contains(model)) {
                row.models.disabled.push_back(model);
            }
        }
    }
}

std::vector<DeviceSupport> ModelSupportConfig::mergeDeviceSupport(
    const std::vector<DeviceSupport>& remote, const std::vector<DeviceSupport>& fallback) {
    std::unordered_set<std::string> remoteIdentifiers;
    for (const DeviceSupport& row : remote) {
        remoteIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());
    }
    const auto sharesIdentifier = [](const DeviceSupport& a, const DeviceSupport& b) {
        for (const std::string& identifier : a.identifiers) {
            if (std::find(b.identifiers.begin(), b.identifiers.end(), identifier) !=
                b.identifiers.end()) {
                return true;
            }
        }
        return false;
    };
    std::vector<DeviceSupport> merged;
    for (const DeviceSupport& row : remote) {
        const auto known =
            std::find_if(fallback.begin(), fallback.end(),
                         [&](const DeviceSupport& f) { return sharesIdentifier(f, row); });
        if (known == fallback.end()) {
            merged.push_back(row);
            continue;
        }
        merged.push_back(
            DeviceSupport{row.chips, row.identifiers,
                          ModelSupport{row.models.defaultModel,
                                       joined(row.models.supported, known->models.supported),
                                       {}}});
    }
    for (const DeviceSupport& row : fallback) {
        const bool unknown =
            std::none_of(row.identifiers.begin(), row.identifiers.end(),
                         [&](const std::string& id) { return remoteIdentifiers.contains(id); });
        if (unknown) {
            merged.push_back(row);
        }
    }
    return merged;
}

std::string ModelSupportConfig::toJson() const {
    json::Writer writer;
    writer.startObject();
    writer.field("name", repoName);
    writer.field("version", repoVersion);
    writer.key("device_support");
    writer.startArray();
    for (const DeviceSupport& row : deviceSupports) {
        writer.startObject();
        writer.field("chips", row.chips);
        writer.key("identifiers");
        writeStrings(writer, row.identifiers);
        writer.key("models");
        writer.startObject();
        writer.field("default", row.models.defaultModel);
        writer.key("supported");
        writeStrings(writer, row.models.supported);
        writer.endObject();
        writer.endObject();
    }
    writer.endArray();
    writer.endObject();
    return writer.text();
}

ModelSupportConfig ModelSupportConfig::fromJson(std::string_view text) {
    const rapidjson::Document document = json::parse(text);
    const json::ObjectReader o(document, "ModelSupportConfig");
    std::string name = json::readString(o.required("name"));
    std::string version = json::readString(o.required("version"));
    std::vector<DeviceSupport> rows =
        json::readArray(o.required("device_support"), "DeviceSupport", readDeviceSupport);
    return ModelSupportConfig(std::move(name), std::move(version), std::move(rows), true);
}

}  // namespace rararozuvu
