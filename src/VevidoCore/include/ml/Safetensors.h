#pragma once

// Reading and writing the safetensors container: an 8-byte little-endian header length, a JSON
// header mapping tensor names to {"dtype", "shape", "data_offsets"} (plus an optional
// "__metadata__" object of strings), then the raw little-endian tensor bytes. Model weights and
// reference vectors both live in this form.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ml {

// A malformed, truncated or unreadable safetensors file, a missing tensor, or a tensor that cannot
// be written. The message names the file or tensor and what is wrong with it.
class SafetensorsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SafetensorsDType {
    Bool,
    U8,
    I8,
    F8_E4M3,
    F8_E5M2,
    I16,
    U16,
    F16,
    BF16,
    I32,
    U32,
    F32,
    I64,
    U64,
    F64,
};

// Bytes per element.
std::size_t elementSize(SafetensorsDType dtype);
// The header's spelling ("F16", "F32", "I32", "BOOL", ...).
std::string_view dtypeName(SafetensorsDType dtype);

// One tensor of an open file. `data` points into the file's mapping: it is valid while the
// SafetensorsFile lives and may be unaligned (the container makes no alignment promise).
struct SafetensorsTensor {
    std::string name;
    SafetensorsDType dtype = SafetensorsDType::F32;
    std::vector<std::int64_t> shape;
    std::span<const std::byte> data;

    std::size_t elementCount() const;
};

// A read-only, memory-mapped safetensors file. The whole header is validated on open (header
// length within the file, well-formed JSON, known dtypes, offsets inside the data area, offsets
// consistent with dtype × shape, no overlapping tensors, no duplicate names), so every tensor
// handed out afterwards is safe to read in full.
class SafetensorsFile {
public:
    // Throws SafetensorsError when the file cannot be opened or is not a valid container.
    explicit SafetensorsFile(const std::filesystem::path& path);
    SafetensorsFile(SafetensorsFile&& other) noexcept;
    SafetensorsFile& operator=(SafetensorsFile&& other) noexcept;
    SafetensorsFile(const SafetensorsFile&) = delete;
    SafetensorsFile& operator=(const SafetensorsFile&) = delete;
    ~SafetensorsFile();

    const std::filesystem::path& path() const { return path_; }
    // Tensors in the order the header lists them.
    const std::vector<SafetensorsTensor>& tensors() const { return tensors_; }
    // nullptr when there is no tensor of that name.
    const SafetensorsTensor* find(std::string_view name) const;
    // Throws SafetensorsError naming the file and the tensor when it is missing.
    const SafetensorsTensor& tensor(std::string_view name) const;
    // The "__metadata__" entries (empty when the header has none).
    const std::map<std::string, std::string>& metadata() const { return metadata_; }

private:
    void unmap() noexcept;

    std::filesystem::path path_;
    void* mapping_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::vector<SafetensorsTensor> tensors_;
    std::map<std::string, std::size_t, std::less<>> index_;
    std::map<std::string, std::string> metadata_;
};

// Builds a safetensors file. Tensors are written in the order they were added, the header lists
// them in that order (after "__metadata__" when there is any), and the header is padded with
// spaces to a multiple of 8 bytes so that the data area starts aligned.
class SafetensorsWriter {
public:
    // The bytes are referenced, not copied: they must stay valid until write() returns.
    // Throws SafetensorsError for a duplicate name, a negative dimension or a byte count that does
    // not match dtype × shape.
    void add(std::string name, SafetensorsDType dtype, std::vector<std::int64_t> shape,
             std::span<const std::byte> bytes);
    // Same, taking ownership of the bytes.
    void add(std::string name, SafetensorsDType dtype, std::vector<std::int64_t> shape,
             std::vector<std::byte> bytes);
    void setMetadata(std::string key, std::string value);

    // Writes the file through a temporary sibling renamed into place, so a failed write never
    // leaves a truncated file under `path`. Throws SafetensorsError on I/O failure.
    void write(const std::filesystem::path& path) const;

private:
    struct Entry {
        std::string name;
        SafetensorsDType dtype;
        std::vector<std::int64_t> shape;
        std::span<const std::byte> bytes;
    };
    void addEntry(Entry entry);

    std::vector<Entry> entries_;
    // Moving an inner vector keeps its buffer, so spans into these stay valid as this grows.
    std::vector<std::vector<std::byte>> owned_;
    std::map<std::string, std::string> metadata_;
};

}  // namespace ml
