#include "ml/WhisperConverter.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "WhisperPrograms.h"
#include "ml/ModelBundle.h"
#include "ml/ModelError.h"
#include "ml/Safetensors.h"

namespace ml {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& message) {
    throw ModelError(ModelError::Case::io, message);
}

// Widens bfloat16 to float: its bits are the top half of a float's.
float bfloat16ToFloat(std::uint16_t bits) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

// The checkpoint's tensors in the order they are written: as listed, except that each layer's
// self-attention q, k and v projections go back to back in that order, so that a kernel reading
// the mapped file takes them as one matrix.
std::vector<const SafetensorsTensor*> writeOrder(const SafetensorsFile& checkpoint) {
    static constexpr std::array<std::string_view, 3> kStacked{
        "self_attn.q_proj.weight", "self_attn.k_proj.weight", "self_attn.v_proj.weight"};
    std::vector<const SafetensorsTensor*> order;
    std::set<std::string_view> placed;
    for (const SafetensorsTensor& t : checkpoint.tensors()) {
        if (placed.count(t.name) != 0)
            continue;
        const auto suffix = std::find_if(kStacked.begin(), kStacked.end(),
                                         [&](std::string_view s) { return t.name.ends_with(s); });
        if (suffix == kStacked.end()) {
            order.push_back(&t);
            continue;
        }
        const std::string prefix = t.name.substr(0, t.name.size() - suffix->size());
        for (std::string_view s : kStacked) {
            if (const SafetensorsTensor* part = checkpoint.find(prefix + std::string(s))) {
                order.push_back(part);
                placed.insert(part->name);
            }
        }
    }
    return order;
}

// Adds every tensor whose name starts with one of the prefixes, in half precision.
void addHalfTensors(SafetensorsWriter& writer, const SafetensorsFile& checkpoint,
                    std::initializer_list<std::string_view> prefixes) {
    for (const SafetensorsTensor* tensor : writeOrder(checkpoint)) {
        const SafetensorsTensor& t = *tensor;
        bool wanted = false;
        for (std::string_view p : prefixes)
            wanted = wanted || t.name.starts_with(p);
        if (!wanted)
            continue;
        const std::size_t n = t.elementCount();
        switch (t.dtype) {
            case SafetensorsDType::F16:
                writer.add(t.name, SafetensorsDType::F16, t.shape, t.data);
                break;
            case SafetensorsDType::F32:
            case SafetensorsDType::BF16: {
                // The mapping makes no alignment promise, so elements are copied out one by one.
                std::vector<float> wide(n);
                for (std::size_t i = 0; i < n; ++i) {
                    if (t.dtype == SafetensorsDType::F32) {
                        std::memcpy(&wide[i], t.data.data() + 4 * i, 4);
                    } else {
                        std::uint16_t bits;
                        std::memcpy(&bits, t.data.data() + 2 * i, 2);
                        wide[i] = bfloat16ToFloat(bits);
                    }
                }
                std::vector<Float16> half(n);
                convertToFloat16(wide.data(), half.data(), n);
                const auto bytes = std::as_bytes(std::span(half));
                writer.add(t.name, SafetensorsDType::F16, t.shape,
                           std::vector<std::byte>(bytes.begin(), bytes.end()));
                break;
            }
            default:
                fail(fmt::format("{}: tensor \"{}\" is {}; only F16, BF16 and F32 weights convert",
                                 checkpoint.path().string(), t.name, dtypeName(t.dtype)));
        }
    }
}

class BundleBuilder {
public:
    BundleBuilder(const fs::path& output, std::string stage)
        : final_(output / (stage + ".mlmodelc")),
          partial_(output / fmt::format(".{}.mlmodelc.partial-{}", stage, ::getpid())) {
        std::error_code ec;
        fs::remove_all(partial_, ec);
        if (!fs::create_directories(partial_, ec) || ec) {
            fail(fmt::format("{}: cannot be created: {}", partial_.string(), ec.message()));
        }
    }
    BundleBuilder(const BundleBuilder&) = delete;
    BundleBuilder& operator=(const BundleBuilder&) = delete;
    ~BundleBuilder() {
        std::error_code ec;
        fs::remove_all(partial_, ec);
    }

    const fs::path& folder() const { return partial_; }

    void finish() {
        std::error_code ec;
        fs::remove_all(final_, ec);
        fs::rename(partial_, final_, ec);
        if (ec)
            fail(fmt::format("{}: cannot be written: {}", final_.string(), ec.message()));
    }

private:
    fs::path final_;
    fs::path partial_;
};

void writeBundle(const fs::path& output, const std::string& stage, const HyperParameters& hyper,
                 const WhisperFeatures& features, const std::string& source,
                 const SafetensorsWriter* weights) {
    BundleBuilder builder(output, stage);
    ModelBundle bundle;
    bundle.program = stage;
    bundle.hyperParameters = hyper;
    bundle.description.inputs = features.inputs;
    bundle.description.outputs = features.outputs;
    bundle.description.metadata = {{"source", source}, {"converter", "quillora-convert"}};
    if (weights) {
        bundle.weights = "weights.safetensors";
        try {
            weights->write(builder.folder() / *bundle.weights);
        } catch (const SafetensorsError& e) {
            fail(e.what());
        }
    }
    bundle.write(builder.folder());
    builder.finish();
}

}  // namespace

void WhisperConverter::convert(const fs::path& checkpoint, const fs::path& output,
                               const Options& options) {
    whisper::WhisperHyperParameters params;
    try {
        params = whisper::WhisperHyperParameters::fromCheckpoint(checkpoint);
        params.validate();
    } catch (const whisper::WhisperKernelError& e) {
        fail(fmt::format("{}: {}", checkpoint.string(), e.what()));
    }
    if (options.kvCacheLength < 1 ||
        options.kvCacheLength > static_cast<std::int64_t>(params.maxTargetPositions)) {
        fail(fmt::format("a key-value cache of {} positions does not fit a decoder of {} positions",
                         options.kvCacheLength, params.maxTargetPositions));
    }
    std::optional<SafetensorsFile> weights;
    try {
        weights.emplace(checkpoint / "model.safetensors");
    } catch (const SafetensorsError& e) {
        fail(e.what());
    }

    std::error_code ec;
    fs::create_directories(output, ec);
    if (ec)
        fail(fmt::format("{}: cannot be created: {}", output.string(), ec.message()));

    const std::string source = fs::absolute(checkpoint).lexically_normal().filename().string();
    HyperParameters hyper = bundleHyperParameters(params);
    writeBundle(output, "MelSpectrogram", hyper, melSpectrogramFeatures(params), source, nullptr);

    SafetensorsWriter encoder;
    addHalfTensors(encoder, *weights, {"model.encoder."});
    writeBundle(output, "AudioEncoder", hyper, audioEncoderFeatures(params), source, &encoder);

    SafetensorsWriter decoder;
    addHalfTensors(decoder, *weights, {"model.decoder.", "proj_out."});
    hyper.set("kv_cache_length", options.kvCacheLength);
    writeBundle(output, "TextDecoder", hyper, textDecoderFeatures(params, options.kvCacheLength),
                source, &decoder);

    for (const char* name :
         {"tokenizer.json", "tokenizer_config.json", "config.json", "generation_config.json"}) {
        if (!fs::exists(checkpoint / name))
            continue;
        // A read-only copy from an earlier run would refuse to be overwritten, and the new copy
        // should be the user's to change: replace it and make it writable.
        fs::remove(output / name, ec);
        fs::copy_file(checkpoint / name, output / name, ec);
        if (!ec)
            fs::permissions(output / name, fs::perms::owner_write, fs::perm_options::add, ec);
        if (ec)
            fail(fmt::format("{}: cannot be written: {}", (output / name).string(), ec.message()));
    }
}

}  // namespace ml
