#include "ml/Safetensors.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Safetensors : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("safetensors-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path writeRaw(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    // A container whose header is `json`, followed by `dataBytes` zero bytes.
    fs::path writeHeader(const std::string& json, std::size_t dataBytes) {
        std::string bytes(8, '\0');
        const std::uint64_t n = json.size();
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<char>((n >> (8 * i)) & 0xff);
        bytes += json;
        bytes.append(dataBytes, '\0');
        return writeRaw("t.safetensors", bytes);
    }

    fs::path dir_;
};

template <typename T>
std::span<const std::byte> bytesOf(const std::vector<T>& v) {
    return std::as_bytes(std::span<const T>(v));
}

TEST_F(Safetensors, WriterOutputReadsBackInOrderWithMetadata) {
    const std::vector<float> a{1.5f, -2.0f, 3.25f, 0.0f, 7.0f, 8.0f};
    const std::vector<std::int32_t> b{42, -7};
    const std::vector<std::uint16_t> c{0x3c00};  // a half-precision 1.0

    ml::SafetensorsWriter writer;
    writer.add("z.first", ml::SafetensorsDType::F32, {2, 3}, bytesOf(a));
    std::vector<std::byte> owned(bytesOf(b).begin(), bytesOf(b).end());
    writer.add("a.second", ml::SafetensorsDType::I32, {2}, std::move(owned));
    writer.add("m.third", ml::SafetensorsDType::F16, {1, 1, 1}, bytesOf(c));
    writer.add("empty", ml::SafetensorsDType::F32, {0, 4}, std::span<const std::byte>());
    writer.setMetadata("format", "pt");
    const fs::path path = dir_ / "out.safetensors";
    writer.write(path);
    EXPECT_FALSE(fs::exists(dir_ / "out.safetensors.partial"));

    // The header is padded so that the data area starts 8-byte aligned.
    std::ifstream in(path, std::ios::binary);
    std::uint64_t headerLength = 0;
    in.read(reinterpret_cast<char*>(&headerLength), 8);
    EXPECT_EQ(headerLength % 8, 0u);

    ml::SafetensorsFile file(path);
    ASSERT_EQ(file.tensors().size(), 4u);
    EXPECT_EQ(file.tensors()[0].name, "z.first");
    EXPECT_EQ(file.tensors()[1].name, "a.second");
    EXPECT_EQ(file.tensors()[2].name, "m.third");
    EXPECT_EQ(file.metadata().at("format"), "pt");

    const auto& t = file.tensor("z.first");
    EXPECT_EQ(t.dtype, ml::SafetensorsDType::F32);
    EXPECT_EQ(t.shape, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(t.elementCount(), 6u);
    ASSERT_EQ(t.data.size(), sizeof(float) * 6);
    EXPECT_EQ(std::memcmp(t.data.data(), a.data(), t.data.size()), 0);
    const auto& i = file.tensor("a.second");
    EXPECT_EQ(std::memcmp(i.data.data(), b.data(), i.data.size()), 0);
    EXPECT_EQ(file.tensor("empty").elementCount(), 0u);
    EXPECT_EQ(file.find("missing"), nullptr);
    EXPECT_THROW(file.tensor("missing"), ml::SafetensorsError);

    // A moved-from file hands its mapping over intact.
    ml::SafetensorsFile moved(std::move(file));
    EXPECT_EQ(std::memcmp(moved.tensor("z.first").data.data(), a.data(), sizeof(float) * 6), 0);
}

TEST_F(Safetensors, WriterRejectsInconsistentTensors) {
    const std::vector<float> a{1, 2, 3};
    ml::SafetensorsWriter writer;
    writer.add("x", ml::SafetensorsDType::F32, {3}, bytesOf(a));
    EXPECT_THROW(writer.add("x", ml::SafetensorsDType::F32, {3}, bytesOf(a)), ml::SafetensorsError);
    EXPECT_THROW(writer.add("y", ml::SafetensorsDType::F32, {4}, bytesOf(a)), ml::SafetensorsError);
    EXPECT_THROW(writer.add("y", ml::SafetensorsDType::F16, {-1}, bytesOf(a)),
                 ml::SafetensorsError);
    EXPECT_THROW(writer.write(dir_ / "no-such-folder" / "x.safetensors"), ml::SafetensorsError);
}

TEST_F(Safetensors, MalformedFilesAreClearErrors) {
    struct Case {
        const char* what;
        std::string header;  // empty: use `raw` as the whole file
        std::size_t dataBytes;
        std::string raw;
        const char* messagePart;
    };
    const std::string ok = R"({"t":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}})";
    const std::vector<Case> cases{
        {"shorter than the length field", "", 0, std::string("\x05\0\0", 3), "truncated"},
        {"header longer than the file", "", 0, std::string("\xff\0\0\0\0\0\0\0{}", 10),
         "truncated"},
        {"huge header length", "", 0, std::string(8, '\xff') + "{}", "truncated"},
        {"data cut short", ok, 4, "", "outside the data area"},
        {"bad JSON", R"({"t":{"dtype":"F32",)", 8, "", "malformed header"},
        {"not an object", "[1,2]", 0, "", "not a JSON object"},
        {"unknown dtype", R"({"t":{"dtype":"F17","shape":[2],"data_offsets":[0,8]}})", 8, "",
         "unknown dtype"},
        {"negative dimension", R"({"t":{"dtype":"F32","shape":[-2],"data_offsets":[0,8]}})", 8, "",
         "shape entry"},
        {"offsets past the end", R"({"t":{"dtype":"F32","shape":[2],"data_offsets":[8,16]}})", 8,
         "", "outside the data area"},
        {"offsets reversed", R"({"t":{"dtype":"F32","shape":[0],"data_offsets":[8,0]}})", 8, "",
         "outside the data area"},
        {"size against dtype and shape",
         R"({"t":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", 8, "", "does not match"},
        {"shape overflow",
         R"({"t":{"dtype":"F64","shape":[4611686018427387904,4611686018427387904],"data_offsets":[0,8]}})",
         8, "", "does not match"},
        {"missing offsets", R"({"t":{"dtype":"F32","shape":[2]}})", 8, "", "data_offsets"},
        {"overlap",
         R"({"a":{"dtype":"F32","shape":[2],"data_offsets":[0,8]},"b":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
         8, "", "overlapping"},
        {"duplicate name",
         R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},"a":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
         8, "", "listed twice"},
        {"metadata not strings", R"({"__metadata__":{"k":1}})", 0, "", "metadata"},
        {"invalid UTF-8 name", "{\"\xff\":{}}", 0, "", "malformed header"},
    };
    for (const auto& c : cases) {
        const fs::path p = c.header.empty() ? writeRaw("raw.safetensors", c.raw)
                                            : writeHeader(c.header, c.dataBytes);
        try {
            ml::SafetensorsFile file(p);
            ADD_FAILURE() << c.what << ": opened without error";
        } catch (const ml::SafetensorsError& e) {
            EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos)
                << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos) << c.what;
        }
    }
    EXPECT_THROW(ml::SafetensorsFile(dir_ / "absent.safetensors"), ml::SafetensorsError);
    EXPECT_THROW(ml::SafetensorsFile{dir_}, ml::SafetensorsError);

    // The same well-formed header with its full data opens.
    EXPECT_EQ(ml::SafetensorsFile(writeHeader(ok, 8)).tensor("t").elementCount(), 2u);
}

TEST_F(Safetensors, OpensTheTinyCheckpoint) {
    const ml::SafetensorsFile file(fs::path(QUILLORA_SHARED_DIR) /
                                   "models/tiny-en-random/model.safetensors");
    const auto& emb = file.tensor("model.decoder.embed_tokens.weight");
    EXPECT_EQ(emb.dtype, ml::SafetensorsDType::F16);
    EXPECT_EQ(emb.shape, (std::vector<std::int64_t>{51864, 384}));
    EXPECT_EQ(file.metadata().at("format"), "pt");
}

}  // namespace
