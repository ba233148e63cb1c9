#include "ml/whisper/WhisperConverter.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
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

struct ExpectedTensor {
    std::string name;
    std::vector<std::int64_t> shape;
};

// Every tensor the encoder and decoder load, with the shape the configuration gives it. A
// config.json that disagrees with the weights is caught here rather than at the first load.
std::vector<ExpectedTensor> expectedTensors(const whisper::WhisperHyperParameters& params) {
    const auto d = static_cast<std::int64_t>(params.dModel);
    std::vector<ExpectedTensor> expected;
    const auto add = [&](const std::string& name, std::vector<std::int64_t> shape) {
        expected.push_back({name, std::move(shape)});
    };
    const auto attention = [&](const std::string& prefix) {
        add(prefix + "q_proj.weight", {d, d});
        add(prefix + "q_proj.bias", {d});
        add(prefix + "k_proj.weight", {d, d});
        add(prefix + "v_proj.weight", {d, d});
        add(prefix + "v_proj.bias", {d});
        add(prefix + "out_proj.weight", {d, d});
        add(prefix + "out_proj.bias", {d});
    };
    const auto feedForward = [&](const std::string& prefix, std::int64_t ffn) {
        add(prefix + "final_layer_norm.weight", {d});
        add(prefix + "final_layer_norm.bias", {d});
        add(prefix + "fc1.weight", {ffn, d});
        add(prefix + "fc1.bias", {ffn});
        add(prefix + "fc2.weight", {d, ffn});
        add(prefix + "fc2.bias", {d});
    };

    const std::string e = "model.encoder.";
    add(e + "conv1.weight", {d, static_cast<std::int64_t>(params.numMelBins), 3});
    add(e + "conv1.bias", {d});
    add(e + "conv2.weight", {d, d, 3});
    add(e + "conv2.bias", {d});
    add(e + "embed_positions.weight", {static_cast<std::int64_t>(params.maxSourcePositions), d});
    add(e + "layer_norm.weight", {d});
    add(e + "layer_norm.bias", {d});
    for (std::size_t l = 0; l < params.encoderLayers; ++l) {
        const std::string q = e + "layers." + std::to_string(l) + ".";
        add(q + "self_attn_layer_norm.weight", {d});
        add(q + "self_attn_layer_norm.bias", {d});
        attention(q + "self_attn.");
        feedForward(q, static_cast<std::int64_t>(params.encoderFfnDim));
    }

    const std::string g = "model.decoder.";
    add(g + "embed_tokens.weight", {static_cast<std::int64_t>(params.vocabSize), d});
    add(g + "embed_positions.weight", {static_cast<std::int64_t>(params.maxTargetPositions), d});
    add(g + "layer_norm.weight", {d});
    add(g + "layer_norm.bias", {d});
    for (std::size_t l = 0; l < params.decoderLayers; ++l) {
        const std::string q = g + "layers." + std::to_string(l) + ".";
        add(q + "self_attn_layer_norm.weight", {d});
        add(q + "self_attn_layer_norm.bias", {d});
        attention(q + "self_attn.");
        add(q + "encoder_attn_layer_norm.weight", {d});
        add(q + "encoder_attn_layer_norm.bias", {d});
        attention(q + "encoder_attn.");
        feedForward(q, static_cast<std::int64_t>(params.decoderFfnDim));
    }
    return expected;
}

void checkShapes(const whisper::WhisperHyperParameters& params, const SafetensorsFile& weights,
                 const fs::path& checkpoint) {
    std::unordered_map<std::string_view, const SafetensorsTensor*> byName;
    for (const SafetensorsTensor& t : weights.tensors())
        byName.emplace(t.name, &t);
    for (const ExpectedTensor& want : expectedTensors(params)) {
        const auto found = byName.find(want.name);
        if (found == byName.end()) {
            fail(fmt::format("{}: has no tensor \"{}\" for the model {} describes",
                             weights.path().string(), want.name,
                             (checkpoint / "config.json").string()));
        }
        if (found->second->shape != want.shape) {
            fail(fmt::format("{}: tensor \"{}\" has shape [{}], but {} makes it [{}]",
                             weights.path().string(), want.name,
                             fmt::join(found->second->shape, ", "),
                             (checkpoint / "config.json").string(), fmt::join(want.shape, ", ")));
        }
    }
}

// True when `inner` is `outer` or lies below it; both absolute and normal.
bool isWithin(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end())
            break;  // a trailing separator
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

// The converter replaces files by name in the destination, so a destination that overlaps the
// checkpoint would delete the very files it is about to copy.
void refuseOverlap(const fs::path& checkpoint, const fs::path& output) {
    const auto resolved = [](const fs::path& path) {
        std::error_code ec;
        fs::path real = fs::weakly_canonical(fs::absolute(path), ec);
        if (ec)
            fail(fmt::format("{}: cannot be resolved: {}", path.string(), ec.message()));
        return real;
    };
    const fs::path source = resolved(checkpoint);
    const fs::path target = resolved(output);
    if (isWithin(target, source) || isWithin(source, target)) {
        fail(
            fmt::format("the model folder {} must lie apart from the checkpoint folder {} "
                        "(neither inside the other)",
                        output.string(), checkpoint.string()));
    }
}

// Bundles half-built by a conversion that was killed: ".<Stage>.mlmodelc.partial-<pid>" whose
// process is gone.
void removeStalePartials(const fs::path& output) {
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(output, ec)) {
        const std::string name = entry.path().filename().string();
        const std::size_t marker = name.rfind(".mlmodelc.partial-");
        if (!name.starts_with(".") || marker == std::string::npos)
            continue;
        const std::string_view digits =
            std::string_view(name).substr(marker + std::strlen(".mlmodelc.partial-"));
        pid_t pid = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0)
            continue;
        if (pid == ::getpid() || (::kill(pid, 0) != 0 && errno == ESRCH)) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
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
    refuseOverlap(checkpoint, output);
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
    checkShapes(params, *weights, checkpoint);

    std::error_code ec;
    fs::create_directories(output, ec);
    if (ec)
        fail(fmt::format("{}: cannot be created: {}", output.string(), ec.message()));
    removeStalePartials(output);

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
