#include "ml/Tensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using ml::Float16;
using ml::ModelError;
using ml::MultiArrayDataType;
using ml::Tensor;

using Shape = std::vector<std::int64_t>;
constexpr float kInf = std::numeric_limits<float>::infinity();

Tensor floats(Shape shape, std::vector<float> v) {
    return Tensor(std::move(shape), v);
}

std::vector<float> randomRow(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> d(0.0f, 3.0f);
    std::vector<float> v(n);
    for (float& x : v)
        x = d(gen);
    return v;
}

TEST(Tensor, ExpMatchesTheLibraryAcrossTheFloatRange) {
    std::vector<float> x;
    for (float v = -100.0f; v <= 100.0f; v += 0.0137f)
        x.push_back(v);
    x.insert(x.end(), {-kInf, kInf, 0.0f, -0.0f});
    const std::vector<float> e =
        floats({static_cast<std::int64_t>(x.size())}, x).exp().toFloatArray();
    for (std::size_t i = 0; i < x.size(); ++i) {
        const float expected = std::exp(x[i]);
        if (expected < 2 * std::numeric_limits<float>::min() || expected > 1e38f) {
            // At the ends of the range an answer may flush to 0 or overflow to infinity.
            EXPECT_TRUE(e[i] == 0.0f || std::isinf(e[i]) || std::abs(e[i] / expected - 1) < 1e-6f)
                << x[i];
        } else {
            EXPECT_NEAR(e[i] / expected, 1.0f, 3e-7f) << x[i];
        }
    }
    EXPECT_TRUE(std::isnan(floats({1}, {NAN}).exp().toFloatArray()[0]));
}

TEST(Tensor, SoftmaxAndLogSoftmaxMatchADirectComputation) {
    std::vector<float> row = randomRow(51864, 7);
    row[17] = -kInf;  // a suppressed token
    const Tensor logits = floats({1, 1, static_cast<std::int64_t>(row.size())}, row);
    double sum = 0;
    for (float v : row)
        sum += std::exp(static_cast<double>(v));
    const std::vector<float> p = logits.softmax().toFloatArray();
    const std::vector<float> lp = logits.logSoftmax().toFloatArray();
    for (std::size_t i = 0; i < row.size(); ++i) {
        const double expected = std::exp(static_cast<double>(row[i])) / sum;
        ASSERT_NEAR(p[i], expected, 1e-5 * expected + 1e-12) << i;
        if (i != 17) {
            ASSERT_NEAR(lp[i], std::log(expected), 2e-5) << i;
        }
    }
    EXPECT_EQ(p[17], 0.0f);
    EXPECT_EQ(lp[17], -kInf);
    EXPECT_EQ(logits.softmax().shape(), logits.shape());
}

TEST(Tensor, OperationsAlongAnInnerAxisUseColumns) {
    const Tensor t = floats({2, 3}, {1, 2, 3, 3, 2, 1});
    EXPECT_EQ(t.sum(0).toFloatArray(), (std::vector<float>{4, 4, 4}));
    EXPECT_EQ(t.sum(1, true).shape(), (Shape{2, 1}));
    EXPECT_EQ(t.cumulativeSum(0).toFloatArray(), (std::vector<float>{1, 2, 3, 4, 4, 4}));
    EXPECT_EQ(t.argmax(0).toIntArray(), (std::vector<std::int64_t>{1, 0, 0}));
    EXPECT_EQ(t.argsort(0, true).toIntArray(), (std::vector<std::int64_t>{1, 0, 0, 0, 1, 1}));
    const std::vector<float> columns = t.softmax(0).toFloatArray();
    const float a = 1.0f / (1.0f + std::exp(2.0f));
    EXPECT_NEAR(columns[0], a, 1e-6f);
    EXPECT_NEAR(columns[3], 1 - a, 1e-6f);
    EXPECT_NEAR(columns[1], 0.5f, 1e-6f);
    EXPECT_THROW(t.sum(2), ModelError);
    EXPECT_EQ(t.sum(-2).toFloatArray(), (std::vector<float>{4, 4, 4}));
}

TEST(Tensor, ReductionsAlongTheLastAxis) {
    const Tensor t = floats({2, 4}, {1, 5, 5, 2, -kInf, -kInf, -kInf, -kInf});
    EXPECT_EQ(t.max(-1).toFloatArray(), (std::vector<float>{5, -kInf}));
    const std::vector<float> lse = t.logSumExp(-1).toFloatArray();
    EXPECT_NEAR(lse[0], std::log(std::exp(1.0f) + 2 * std::exp(5.0f) + std::exp(2.0f)), 1e-5f);
    EXPECT_EQ(lse[1], -kInf);
    EXPECT_EQ(t.argmax().toIntArray(), (std::vector<std::int64_t>{1, 0}));  // first of equals
    EXPECT_EQ(t.argmax(-1, true).shape(), (Shape{2, 1}));
    EXPECT_EQ(t.argmax().scalarType(), MultiArrayDataType::int32);
    EXPECT_EQ(floats({3}, {1, 2, 3.5f}).sum().toFloatArray(), (std::vector<float>{6.5f}));
    EXPECT_EQ(floats({3}, {1, 2, 3.5f}).sum().rank(), 0);
}

TEST(Tensor, SortingAndTopKBreakTiesByIndex) {
    const Tensor t = floats({1, 6}, {0.1f, 0.4f, 0.1f, 0.3f, 0.4f, -kInf});
    EXPECT_EQ(t.argsort().toIntArray(), (std::vector<std::int64_t>{5, 0, 2, 3, 1, 4}));
    EXPECT_EQ(t.argsort(-1, true).toIntArray(), (std::vector<std::int64_t>{1, 4, 3, 0, 2, 5}));

    const auto [values, indices] = t.topK(3);
    EXPECT_EQ(values.shape(), (Shape{1, 3}));
    EXPECT_EQ(values.toFloatArray(), (std::vector<float>{0.4f, 0.4f, 0.3f}));
    EXPECT_EQ(indices.toIntArray(), (std::vector<std::int64_t>{1, 4, 3}));
    EXPECT_EQ(t.topK(6).second.toIntArray(), (std::vector<std::int64_t>{1, 4, 3, 0, 2, 5}));
    EXPECT_THROW(t.topK(0), ModelError);
    EXPECT_THROW(t.topK(7), ModelError);
}

TEST(Tensor, GatherAndSlicePickAlongAnAxis) {
    const Tensor t = floats({2, 3}, {10, 11, 12, 20, 21, 22});
    const Tensor picks = Tensor({2}, std::vector<std::int32_t>{2, 0});
    const Tensor g = t.gathering(picks, 1);
    EXPECT_EQ(g.shape(), (Shape{2, 2}));
    EXPECT_EQ(g.toFloatArray(), (std::vector<float>{12, 10, 22, 20}));
    const Tensor rows = t.gathering(Tensor({1}, std::vector<std::int32_t>{1}), 0);
    EXPECT_EQ(rows.toFloatArray(), (std::vector<float>{20, 21, 22}));
    EXPECT_THROW(t.gathering(Tensor({1}, std::vector<std::int32_t>{3}), 1), ModelError);

    EXPECT_EQ(t.slice(-1, 1, 3).toFloatArray(), (std::vector<float>{11, 12, 21, 22}));
    EXPECT_EQ(t.slice(-1, 1, 1).scalarCount(), 0);
    EXPECT_THROW(t.slice(1, 2, 4), ModelError);

    // Indices gather too: the sampler looks its token up among the top-k indices.
    const Tensor ids = Tensor({1, 1, 3}, std::vector<std::int32_t>{7, 3, 9});
    EXPECT_EQ(ids.gathering(Tensor({1, 1}, std::vector<std::int32_t>{2}), 2).toIntArray(),
              (std::vector<std::int64_t>{9}));
}

TEST(Tensor, ArithmeticBroadcastsFromTheLastDimension) {
    const Tensor cumulative = floats({1, 1, 4}, {0.2f, 0.5f, 0.9f, 1.0f});
    const Tensor threshold = floats({1, 1}, {0.6f});
    const Tensor below = cumulative.lessThan(threshold);
    EXPECT_EQ(below.shape(), (Shape{1, 1, 4}));
    EXPECT_EQ(below.toFloatArray(), (std::vector<float>{1, 1, 0, 0}));
    const Tensor pushed = cumulative + below * 100.0f;
    EXPECT_EQ(pushed.argsort().slice(-1, 0, 1).toIntArray(), (std::vector<std::int64_t>{2}));

    const Tensor column = floats({2, 1}, {1, 2});
    const Tensor row = floats({3}, {10, 20, 30});
    EXPECT_EQ((column * row).toFloatArray(), (std::vector<float>{10, 20, 30, 20, 40, 60}));
    EXPECT_EQ((row - column).shape(), (Shape{2, 3}));
    EXPECT_EQ((row / 10.0f).toFloatArray(), (std::vector<float>{1, 2, 3}));
    EXPECT_THROW(floats({2}, {1, 2}) + floats({3}, {1, 2, 3}), ModelError);

    const Tensor ints = Tensor({2}, std::vector<std::int32_t>{3, 4});
    EXPECT_EQ((ints + ints).scalarType(), MultiArrayDataType::int32);
    EXPECT_EQ((ints / ints).scalarType(), MultiArrayDataType::float32);
    const Tensor half = Tensor({2}, std::vector<Float16>{Float16(1.0f), Float16(3.0f)});
    EXPECT_EQ((half / 2.0f).scalarType(), MultiArrayDataType::float16);
    EXPECT_EQ((half / 2.0f).toFloatArray(), (std::vector<float>{0.5f, 1.5f}));
    EXPECT_EQ(half.cast(MultiArrayDataType::float32).scalarType(), MultiArrayDataType::float32);
}

TEST(Tensor, ConversionsToListsAndMultiArrays) {
    const Tensor half = Tensor({2}, std::vector<Float16>{Float16(0.5f), Float16(-2.0f)});
    EXPECT_EQ(half.asFloatArray(), (std::vector<float>{0.5f, -2.0f}));
    const Tensor ints = Tensor({2}, std::vector<std::int32_t>{-3, 7});
    EXPECT_EQ(ints.asFloatArray(), (std::vector<float>{-3.0f, 7.0f}));
    EXPECT_EQ(Tensor({1}, std::vector<std::int32_t>{2147483647}).asIntArray(),
              (std::vector<std::int64_t>{2147483647}));
    const Tensor empty({0}, std::vector<std::int32_t>{});
    EXPECT_TRUE(empty.asIntArray().empty());
    EXPECT_TRUE(empty.asFloatArray().empty());

    const ml::MultiArray m = half.reshaped({1, 2}).asMultiArray();
    EXPECT_EQ(m.shape(), (Shape{1, 2}));
    EXPECT_EQ(m.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(m[1], -2.0);
    // A tensor copies what it is made from.
    ml::MultiArray source({2}, MultiArrayDataType::float32, 1.0f);
    const Tensor fromArray(source);
    source.setValue(0, 5);
    EXPECT_EQ(fromArray.toFloatArray(), (std::vector<float>{1, 1}));
    EXPECT_EQ(fromArray.shapedArray<Float16>().scalars()[0].bits, Float16(1.0f).bits);
}

TEST(TensorDeathTest, UnsupportedScalarTypesStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Tensor doubles({1}, std::vector<double>{1.0});
    EXPECT_DEATH(doubles.asFloatArray(),
                 "MLTensorExtensions:29: Fatal error: Unsupported scalar type: Double");
    EXPECT_DEATH(doubles.asMultiArray(),
                 "MLTensorExtensions:44: .*Unsupported scalar type: Double");
    EXPECT_DEATH(floats({1}, {1}).asIntArray(), "Unsupported scalar type: Float");
}

}  // namespace
