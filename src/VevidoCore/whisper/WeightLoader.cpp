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

WeightLoader::WeightLoader(std::span<const SafetensorsTensor> tensors) {
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

}  // namespace ml::whisper
