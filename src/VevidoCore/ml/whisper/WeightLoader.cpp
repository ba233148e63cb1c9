#include "WeightLoader.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <cstring>

#include "ml/whisper/WhisperKernelError.h"

namespace ml::whisper {

namespace {

template <typename T>
std::vector<T> copyOut(const SafetensorsTensor& t) {
    // The mapping makes no alignment promise, so copy before reading elements.
    std::vector<T> v(t.data.size() / sizeof(T));
    if (!v.empty())
        std::memcpy(v.data(), t.data.data(), v.size() * sizeof(T));
    return v;
}

}  // namespace

Weights Weights::inPlace(std::span<const Float16> halves) {
    Weights w;
    w.halves_ = halves.data();
    w.size_ = halves.size();
    return w;
}

Weights Weights::owned(std::vector<Float16> halves) {
    Weights w;
    w.ownedHalves_ = std::move(halves);
    w.halves_ = w.ownedHalves_.data();
    w.size_ = w.ownedHalves_.size();
    return w;
}

Weights Weights::owned(std::vector<float> floats) {
    Weights w;
    w.ownedFloats_ = std::move(floats);
    w.size_ = w.ownedFloats_.size();
    return w;
}

void Weights::widen(std::size_t first, std::size_t count, float* out) const {
    if (halves_ != nullptr) {
        convertToFloat(halves_ + first, out, count);
    } else if (count > 0) {
        std::memcpy(out, ownedFloats_.data() + first, count * sizeof(float));
    }
}

std::size_t Weights::ownedBytes() const {
    return ownedHalves_.size() * sizeof(Float16) + ownedFloats_.size() * sizeof(float);
}

WeightLoader::WeightLoader(std::span<const SafetensorsTensor> tensors, bool inPlace)
    : inPlace_(inPlace) {
    for (const auto& t : tensors)
        byName_.emplace(t.name, &t);
}

bool WeightLoader::contains(std::string_view name) const {
    return byName_.count(name) != 0;
}

const SafetensorsTensor& WeightLoader::find(std::string_view name,
                                            std::initializer_list<std::size_t> shape) const {
    const auto it = byName_.find(name);
    if (it == byName_.end()) {
        throw WhisperKernelError(fmt::format("weights have no tensor \"{}\"", name));
    }
    const SafetensorsTensor& t = *it->second;
    const std::vector<std::int64_t> want(shape.begin(), shape.end());
    if (t.shape != want) {
        throw WhisperKernelError(fmt::format("tensor \"{}\" has shape [{}], expected [{}]", name,
                                             fmt::join(t.shape, ", "), fmt::join(want, ", ")));
    }
    if (t.dtype != SafetensorsDType::F16 && t.dtype != SafetensorsDType::BF16 &&
        t.dtype != SafetensorsDType::F32) {
        throw WhisperKernelError(fmt::format("tensor \"{}\" has dtype {}, expected a float type",
                                             name, dtypeName(t.dtype)));
    }
    return t;
}

std::vector<float> WeightLoader::floats(std::string_view name,
                                        std::initializer_list<std::size_t> shape) const {
    const auto& t = find(name, shape);
    switch (t.dtype) {
        case SafetensorsDType::F32:
            return copyOut<float>(t);
        case SafetensorsDType::BF16: {
            const auto raw = copyOut<std::uint16_t>(t);
            std::vector<float> out(raw.size());
            for (std::size_t i = 0; i < raw.size(); ++i) {
                const std::uint32_t bits = std::uint32_t{raw[i]} << 16;
                std::memcpy(&out[i], &bits, sizeof bits);
            }
            return out;
        }
        default: {
            const auto raw = copyOut<Float16>(t);
            std::vector<float> out(raw.size());
            convertToFloat(raw.data(), out.data(), raw.size());
            return out;
        }
    }
}

std::vector<Float16> WeightLoader::halves(std::string_view name,
                                          std::initializer_list<std::size_t> shape) const {
    const auto& t = find(name, shape);
    if (t.dtype == SafetensorsDType::F16)
        return copyOut<Float16>(t);
    const auto wide = floats(name, shape);
    std::vector<Float16> out(wide.size());
    convertToFloat16(wide.data(), out.data(), wide.size());
    return out;
}

std::span<const Float16> WeightLoader::mappedHalves(const SafetensorsTensor& t) const {
    if (!inPlace_ || t.dtype != SafetensorsDType::F16 ||
        reinterpret_cast<std::uintptr_t>(t.data.data()) % alignof(Float16) != 0) {
        return {};
    }
    // Float16 is a trivially copyable 16-bit value: the mapped bytes are its objects.
    return {reinterpret_cast<const Float16*>(t.data.data()), t.data.size() / sizeof(Float16)};
}

Weights WeightLoader::halfWeights(std::string_view name,
                                  std::initializer_list<std::size_t> shape) const {
    const auto& t = find(name, shape);
    if (const auto mapped = mappedHalves(t); mapped.data() != nullptr)
        return Weights::inPlace(mapped);
    return Weights::owned(halves(name, shape));
}

Weights WeightLoader::exactWeights(std::string_view name,
                                   std::initializer_list<std::size_t> shape) const {
    const auto& t = find(name, shape);
    if (t.dtype != SafetensorsDType::F16)
        return Weights::owned(floats(name, shape));
    return halfWeights(name, shape);
}

Weights WeightLoader::stackedHalfWeights(std::initializer_list<std::string_view> names,
                                         std::initializer_list<std::size_t> shape) const {
    std::span<const Float16> run;
    for (std::string_view name : names) {
        const auto mapped = mappedHalves(find(name, shape));
        if (mapped.data() == nullptr ||
            (run.data() != nullptr && mapped.data() != run.data() + run.size())) {
            run = {};
            break;
        }
        run = {run.data() != nullptr ? run.data() : mapped.data(), run.size() + mapped.size()};
    }
    if (run.data() != nullptr)
        return Weights::inPlace(run);
    std::vector<Float16> stacked;
    for (std::string_view name : names) {
        const auto part = halves(name, shape);
        stacked.insert(stacked.end(), part.begin(), part.end());
    }
    return Weights::owned(std::move(stacked));
}

Norm WeightLoader::norm(const std::string& prefix, std::size_t d) const {
    return {floats(prefix + "weight", {d}), floats(prefix + "bias", {d})};
}

std::vector<float> WeightLoader::qkvBias(const std::string& prefix, std::size_t d,
                                         float qScale) const {
    const std::vector<float> qb = floats(prefix + "q_proj.bias", {d});
    const std::vector<float> vb = floats(prefix + "v_proj.bias", {d});
    std::vector<float> bias(3 * d, 0.0f);
    for (std::size_t i = 0; i < d; ++i) {
        bias[i] = qb[i] * qScale;
        bias[2 * d + i] = vb[i];
    }
    return bias;
}

FeedForward WeightLoader::feedForward(const std::string& prefix, std::size_t d, std::size_t ffn,
                                      bool half) const {
    const auto matrix = [&](const std::string& name, std::initializer_list<std::size_t> shape) {
        return half ? halfWeights(name, shape) : exactWeights(name, shape);
    };
    FeedForward f;
    f.fc1 = matrix(prefix + "fc1.weight", {ffn, d});
    f.fc1Bias = floats(prefix + "fc1.bias", {ffn});
    f.fc2 = matrix(prefix + "fc2.weight", {d, ffn});
    f.fc2Bias = floats(prefix + "fc2.bias", {d});
    return f;
}

}  // namespace ml::whisper
