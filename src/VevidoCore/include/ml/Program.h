#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ml/FeatureProvider.h"
#include "ml/ModelBundle.h"
#include "ml/ModelConfiguration.h"
#include "ml/MultiArray.h"
#include "ml/Safetensors.h"

namespace ml {

// What a program factory builds a program from.
struct ProgramContext {
    std::filesystem::path folder;
    const ModelBundle& bundle;
    // The bundle's weights, memory-mapped; null when the bundle has none. A program may keep the
    // pointer (and so the mapping) for as long as it lives.
    std::shared_ptr<const SafetensorsFile> weights;
    ModelConfiguration configuration;

    // The named weight, which must have this dtype and shape. Throws ModelError (io) naming the
    // bundle and the tensor when the bundle has no weights, lacks the tensor or it differs.
    const SafetensorsTensor& weight(std::string_view name, SafetensorsDType dtype,
                                    std::span<const std::int64_t> shape) const;
    const SafetensorsTensor& weight(std::string_view name, SafetensorsDType dtype,
                                    std::initializer_list<std::int64_t> shape) const {
        return weight(name, dtype, std::span(shape.begin(), shape.size()));
    }
    // Throws ModelError (io) unless the bundle declares exactly these features, in this order,
    // with these types, shapes and optionality: a program checks with it that its description is
    // the one it computes.
    void expectFeatures(std::span<const FeatureDescription> inputs,
                        std::span<const FeatureDescription> outputs) const;
};

// The computation behind a loaded model.
class Program {
public:
    virtual ~Program() = default;
    // Called only with inputs that match the model description, possibly from several threads at
    // once. Returns every output the description declares (an optional one may be left out).
    virtual DictionaryFeatureProvider predict(const FeatureProvider& inputs) const = 0;

protected:
    // A multi-array input that the description guarantees to be there.
    static MultiArray input(const FeatureProvider& inputs, std::string_view name);
};

// Builds a program for a bundle; throws ModelError (io) when the bundle does not suit it.
using ProgramFactory = std::function<std::unique_ptr<Program>(const ProgramContext&)>;

// The program kinds models can name, by name. The shared registry starts with the Whisper stages
// ("MelSpectrogram", "AudioEncoder", "TextDecoder", "TextDecoderContextPrefill"); more can be
// added. Safe to use from several threads.
class ProgramRegistry {
public:
    static ProgramRegistry& shared();

    // Adds a kind, replacing one of the same name.
    void add(std::string kind, ProgramFactory factory);
    void remove(std::string_view kind);
    std::optional<ProgramFactory> factory(std::string_view kind) const;

private:
    ProgramRegistry();

    mutable std::mutex mutex_;
    std::map<std::string, ProgramFactory, std::less<>> factories_;
};

}  // namespace ml
