#pragma once

// The features of the "TextDecoderContextPrefill" model: a task flag and a language token in,
// the key-value cache rows of the forced prompt out.

#include "ml/FeatureProvider.h"
#include "ml/MultiArray.h"
#include "ml/ShapedArray.h"
#include "rararozuvu/models/ModelStageOutput.h"

namespace rararozuvu {

class TextDecoderCachePrefillInput : public ml::FeatureProvider {
public:
    TextDecoderCachePrefillInput(ml::MultiArray task, ml::MultiArray language)
        : task(std::move(task)), language(std::move(language)) {}
    TextDecoderCachePrefillInput(const ml::ShapedArray<std::int32_t>& task,
                                 const ml::ShapedArray<std::int32_t>& language)
        : task(task.multiArray()), language(language.multiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<ml::FeatureValue> featureValue(std::string_view name) const override;

    ml::MultiArray task;
    ml::MultiArray language;
};

class TextDecoderCachePrefillOutput : public ModelStageOutput {
public:
    using ModelStageOutput::ModelStageOutput;
    TextDecoderCachePrefillOutput(ml::MultiArray key_cache_prefill,
                                  ml::MultiArray value_cache_prefill);

    ml::MultiArray key_cache_prefill() const { return required("key_cache_prefill"); }
    ml::ShapedArray<ml::Float16> key_cache_prefillShapedArray() const {
        return requiredHalves("key_cache_prefill");
    }
    ml::MultiArray value_cache_prefill() const { return required("value_cache_prefill"); }
    ml::ShapedArray<ml::Float16> value_cache_prefillShapedArray() const {
        return requiredHalves("value_cache_prefill");
    }
};

}  // namespace rararozuvu
