#include "ml/Safetensors.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "vevidocore/JSONReading.h"

namespace ml {

namespace {

struct DTypeInfo {
    SafetensorsDType dtype;
    std::string_view name;
    std::size_t size;
};

constexpr std::array<DTypeInfo, 15> kDTypes{{
    {SafetensorsDType::Bool, "BOOL", 1},
    {SafetensorsDType::U8, "U8", 1},
    {SafetensorsDType::I8, "I8", 1},
    {SafetensorsDType::F8_E4M3, "F8_E4M3", 1},
    {SafetensorsDType::F8_E5M2, "F8_E5M2", 1},
    {SafetensorsDType::I16, "I16", 2},
    {SafetensorsDType::U16, "U16", 2},
    {SafetensorsDType::F16, "F16", 2},
    {SafetensorsDType::BF16, "BF16", 2},
    {SafetensorsDType::I32, "I32", 4},
    {SafetensorsDType::U32, "U32", 4},
    {SafetensorsDType::F32, "F32", 4},
    {SafetensorsDType::I64, "I64", 8},
    {SafetensorsDType::U64, "U64", 8},
    {SafetensorsDType::F64, "F64", 8},
}};

const DTypeInfo& info(SafetensorsDType dtype) {
    for (const auto& d : kDTypes) {
        if (d.dtype == dtype)
            return d;
    }
    throw SafetensorsError("unknown tensor dtype");
}

// The container's own guidance caps headers at 100 MB; anything larger is corruption, and the
// cap keeps a hostile length from making us parse gigabytes.
constexpr std::uint64_t kMaxHeaderBytes = 100u * 1024u * 1024u;

// Element count of a shape, or nullopt on overflow of the byte count.
bool byteCount(const std::vector<std::int64_t>& shape, std::size_t elementBytes,
               std::uint64_t& bytes) {
    std::uint64_t n = elementBytes;
    for (std::int64_t d : shape) {
        if (d < 0)
            return false;
        const auto u = static_cast<std::uint64_t>(d);
        if (u != 0 && n > std::numeric_limits<std::uint64_t>::max() / u)
            return false;
        n *= u;
    }
    bytes = n;
    return true;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::size_t elementSize(SafetensorsDType dtype) {
    return info(dtype).size;
}

std::string_view dtypeName(SafetensorsDType dtype) {
    return info(dtype).name;
}

std::size_t SafetensorsTensor::elementCount() const {
    std::size_t n = 1;
    for (std::int64_t d : shape)
        n *= static_cast<std::size_t>(d);
    return n;
}

SafetensorsFile::SafetensorsFile(const std::filesystem::path& path) : path_(path) {
    const std::string where = path.string();
    FileDescriptor fd(::open(where.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw SafetensorsError(
            fmt::format("cannot open safetensors file {}: {}", where, std::strerror(errno)));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw SafetensorsError(
            fmt::format("cannot read safetensors file {}: {}", where, std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        throw SafetensorsError(fmt::format("safetensors file {} is not a regular file", where));
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    if (fileSize < 8) {
        throw SafetensorsError(fmt::format(
            "safetensors file {} is truncated: {} bytes, shorter than the 8-byte header length",
            where, fileSize));
    }
    void* map =
        ::mmap(nullptr, static_cast<std::size_t>(fileSize), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map == MAP_FAILED) {
        throw SafetensorsError(
            fmt::format("cannot map safetensors file {}: {}", where, std::strerror(errno)));
    }
    mapping_ = map;
    mappedSize_ = static_cast<std::size_t>(fileSize);

    try {
        const auto* bytes = static_cast<const std::byte*>(mapping_);
        std::uint64_t headerLength = 0;
        for (int i = 7; i >= 0; --i) {
            headerLength = (headerLength << 8) | std::to_integer<std::uint64_t>(bytes[i]);
        }
        if (headerLength > fileSize - 8) {
            throw SafetensorsError(fmt::format(
                "safetensors file {} is truncated: header of {} bytes but only {} bytes follow",
                where, headerLength, fileSize - 8));
        }
        if (headerLength > kMaxHeaderBytes) {
            throw SafetensorsError(
                fmt::format("safetensors file {} has an implausible header length of {} bytes",
                            where, headerLength));
        }
        const std::size_t dataStart = 8 + static_cast<std::size_t>(headerLength);
        const std::uint64_t dataSize = fileSize - dataStart;

        rapidjson::Document doc;
        constexpr unsigned kFlags = rapidjson::kParseNanAndInfFlag |
                                    rapidjson::kParseValidateEncodingFlag |
                                    rapidjson::kParseIterativeFlag;
        const rapidjson::ParseResult parsed = vevidocore::json::parse<kFlags>(
            doc, std::string_view(reinterpret_cast<const char*>(bytes + 8),
                                  static_cast<std::size_t>(headerLength)));
        if (parsed.IsError()) {
            throw SafetensorsError(
                fmt::format("safetensors file {} has a malformed header: {} at offset {}", where,
                            rapidjson::GetParseError_En(parsed.Code()), parsed.Offset()));
        }
        if (!doc.IsObject()) {
            throw SafetensorsError(
                fmt::format("safetensors file {} has a header that is not a JSON object", where));
        }

        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        const rapidjson::Document& header = doc;  // const iteration: no ambiguous comparisons
        for (const auto& member : header.GetObject()) {
            std::string name(member.name.GetString(), member.name.GetStringLength());
            const auto bad = [&](std::string_view what) {
                return SafetensorsError(
                    fmt::format("safetensors file {}: tensor \"{}\" {}", where, name, what));
            };
            if (name == "__metadata__") {
                if (!member.value.IsObject()) {
                    throw SafetensorsError(fmt::format(
                        "safetensors file {}: \"__metadata__\" is not an object", where));
                }
                for (const auto& m : member.value.GetObject()) {
                    if (!m.value.IsString()) {
                        throw SafetensorsError(
                            fmt::format("safetensors file {}: metadata \"{}\" is not a string",
                                        where, m.name.GetString()));
                    }
                    metadata_[std::string(m.name.GetString(), m.name.GetStringLength())] =
                        std::string(m.value.GetString(), m.value.GetStringLength());
                }
                continue;
            }
            if (!member.value.IsObject())
                throw bad("is not described by an object");
            const auto& v = member.value;

            const auto dtypeIt = v.FindMember("dtype");
            if (dtypeIt == v.MemberEnd() || !dtypeIt->value.IsString()) {
                throw bad("has no \"dtype\" string");
            }
            const std::string_view dtypeText(dtypeIt->value.GetString(),
                                             dtypeIt->value.GetStringLength());
            const auto known =
                std::find_if(kDTypes.begin(), kDTypes.end(),
                             [&](const DTypeInfo& d) { return d.name == dtypeText; });
            if (known == kDTypes.end()) {
                throw bad(fmt::format("has the unknown dtype \"{}\"", dtypeText));
            }

            const auto shapeIt = v.FindMember("shape");
            if (shapeIt == v.MemberEnd() || !shapeIt->value.IsArray()) {
                throw bad("has no \"shape\" array");
            }
            std::vector<std::int64_t> shape;
            for (const auto& d : shapeIt->value.GetArray()) {
                if (!d.IsUint64() || d.GetUint64() > std::uint64_t{1} << 62) {
                    throw bad("has a shape entry that is not a non-negative integer");
                }
                shape.push_back(static_cast<std::int64_t>(d.GetUint64()));
            }

            const auto offsetsIt = v.FindMember("data_offsets");
            if (offsetsIt == v.MemberEnd() || !offsetsIt->value.IsArray() ||
                offsetsIt->value.Size() != 2 || !offsetsIt->value[0].IsUint64() ||
                !offsetsIt->value[1].IsUint64()) {
                throw bad("has no \"data_offsets\" pair of non-negative integers");
            }
            const std::uint64_t begin = offsetsIt->value[0].GetUint64();
            const std::uint64_t end = offsetsIt->value[1].GetUint64();
            if (begin > end || end > dataSize) {
                throw bad(fmt::format("has data offsets [{}, {}] outside the data area of {} bytes",
                                      begin, end, dataSize));
            }
            std::uint64_t expected = 0;
            if (!byteCount(shape, known->size, expected) || expected != end - begin) {
                throw bad(
                    fmt::format("has {} bytes of data, which does not match its dtype {} and shape",
                                end - begin, dtypeText));
            }
            if (index_.count(name) != 0)
                throw bad("is listed twice");

            index_.emplace(name, tensors_.size());
            ranges.emplace_back(begin, end);
            tensors_.push_back(SafetensorsTensor{
                std::move(name), known->dtype, std::move(shape),
                std::span<const std::byte>(bytes + dataStart + begin,
                                           static_cast<std::size_t>(end - begin))});
        }

        std::sort(ranges.begin(), ranges.end());
        for (std::size_t i = 1; i < ranges.size(); ++i) {
            if (ranges[i].first < ranges[i - 1].second) {
                throw SafetensorsError(
                    fmt::format("safetensors file {} has overlapping tensors at data offset {}",
                                where, ranges[i].first));
            }
        }
    } catch (...) {
        unmap();
        throw;
    }
}

SafetensorsFile::SafetensorsFile(SafetensorsFile&& other) noexcept
    : path_(std::move(other.path_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mappedSize_(std::exchange(other.mappedSize_, 0)),
      tensors_(std::move(other.tensors_)),
      index_(std::move(other.index_)),
      metadata_(std::move(other.metadata_)) {}

SafetensorsFile& SafetensorsFile::operator=(SafetensorsFile&& other) noexcept {
    if (this != &other) {
        unmap();
        path_ = std::move(other.path_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappedSize_ = std::exchange(other.mappedSize_, 0);
        tensors_ = std::move(other.tensors_);
        index_ = std::move(other.index_);
        metadata_ = std::move(other.metadata_);
    }
    return *this;
}

SafetensorsFile::~SafetensorsFile() {
    unmap();
}

void SafetensorsFile::unmap() noexcept {
    if (mapping_ != nullptr) {
        ::munmap(mapping_, mappedSize_);
        mapping_ = nullptr;
        mappedSize_ = 0;
    }
}

const SafetensorsTensor* SafetensorsFile::find(std::string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &tensors_[it->second];
}

const SafetensorsTensor& SafetensorsFile::tensor(std::string_view name) const {
    if (const auto* t = find(name))
        return *t;
    throw SafetensorsError(
        fmt::format("safetensors file {} has no tensor \"{}\"", path_.string(), name));
}

void SafetensorsWriter::addEntry(Entry entry) {
    for (const auto& e : entries_) {
        if (e.name == entry.name) {
            throw SafetensorsError(fmt::format("tensor \"{}\" is added twice", entry.name));
        }
    }
    if (entry.name == "__metadata__") {
        throw SafetensorsError("a tensor cannot be named \"__metadata__\"");
    }
    std::uint64_t expected = 0;
    if (!byteCount(entry.shape, elementSize(entry.dtype), expected)) {
        throw SafetensorsError(fmt::format("tensor \"{}\" has an invalid shape", entry.name));
    }
    if (expected != entry.bytes.size()) {
        throw SafetensorsError(
            fmt::format("tensor \"{}\" has {} bytes, but its dtype {} and shape need {}",
                        entry.name, entry.bytes.size(), dtypeName(entry.dtype), expected));
    }
    entries_.push_back(std::move(entry));
}

void SafetensorsWriter::add(std::string name, SafetensorsDType dtype,
                            std::vector<std::int64_t> shape, std::span<const std::byte> bytes) {
    addEntry(Entry{std::move(name), dtype, std::move(shape), bytes});
}

void SafetensorsWriter::add(std::string name, SafetensorsDType dtype,
                            std::vector<std::int64_t> shape, std::vector<std::byte> bytes) {
    const std::span<const std::byte> view(bytes.data(), bytes.size());
    Entry entry{std::move(name), dtype, std::move(shape), view};
    owned_.push_back(std::move(bytes));
    try {
        addEntry(std::move(entry));
    } catch (...) {
        owned_.pop_back();
        throw;
    }
}

void SafetensorsWriter::setMetadata(std::string key, std::string value) {
    metadata_[std::move(key)] = std::move(value);
}

void SafetensorsWriter::write(const std::filesystem::path& path) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
    const auto key = [&](std::string_view s) {
        json.Key(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    };
    json.StartObject();
    if (!metadata_.empty()) {
        key("__metadata__");
        json.StartObject();
        for (const auto& [k, v] : metadata_) {
            key(k);
            json.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
        }
        json.EndObject();
    }
    std::uint64_t offset = 0;
    for (const auto& e : entries_) {
        key(e.name);
        json.StartObject();
        key("dtype");
        const std::string_view dt = dtypeName(e.dtype);
        json.String(dt.data(), static_cast<rapidjson::SizeType>(dt.size()));
        key("shape");
        json.StartArray();
        for (std::int64_t d : e.shape)
            json.Int64(d);
        json.EndArray();
        key("data_offsets");
        json.StartArray();
        json.Uint64(offset);
        json.Uint64(offset + e.bytes.size());
        json.EndArray();
        json.EndObject();
        offset += e.bytes.size();
    }
    json.EndObject();

    std::string header(buffer.GetString(), buffer.GetSize());
    header.append((8 - header.size() % 8) % 8, ' ');
    std::array<char, 8> length{};
    for (int i = 0; i < 8; ++i) {
        length[static_cast<std::size_t>(i)] =
            static_cast<char>((static_cast<std::uint64_t>(header.size()) >> (8 * i)) & 0xffu);
    }

    std::filesystem::path temp = path;
    temp += ".partial";
    const auto fail = [&](std::string_view what) {
        return SafetensorsError(fmt::format("cannot write safetensors file {}: {}: {}",
                                            path.string(), what, std::strerror(errno)));
    };
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(temp.c_str(), "wb"),
                                                            &std::fclose);
        if (!out)
            throw fail("open");
        // The file goes out in writes of 2 MiB at 2 MiB offsets: the page cache then holds it in
        // folios of that size, which a mapping of the file maps whole, instead of a first-touch
        // fault (and, on a virtual machine, a hypervisor exit) for every 4 KiB the model reads.
        constexpr std::size_t kChunk = std::size_t{2} << 20;
        std::vector<char> chunk;
        chunk.reserve(kChunk);
        bool ok = true;
        const auto put = [&](const char* bytes, std::size_t n) {
            while (ok && n != 0) {
                const std::size_t take = std::min(n, kChunk - chunk.size());
                chunk.insert(chunk.end(), bytes, bytes + take);
                bytes += take;
                n -= take;
                if (chunk.size() == kChunk) {
                    ok = std::fwrite(chunk.data(), 1, kChunk, out.get()) == kChunk;
                    chunk.clear();
                }
            }
        };
        std::setvbuf(out.get(), nullptr, _IONBF, 0);
        put(length.data(), length.size());
        put(header.data(), header.size());
        for (const auto& e : entries_)
            put(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size());
        ok = ok && (chunk.empty() ||
                    std::fwrite(chunk.data(), 1, chunk.size(), out.get()) == chunk.size());
        if (!ok || std::fflush(out.get()) != 0) {
            out.reset();
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            throw fail("write");
        }
        if (std::fclose(out.release()) != 0) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            throw fail("close");
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        const std::string reason = ec.message();
        std::filesystem::remove(temp, ec);
        throw SafetensorsError(
            fmt::format("cannot write safetensors file {}: {}", path.string(), reason));
    }
}

}  // namespace ml
