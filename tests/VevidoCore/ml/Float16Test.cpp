#include "ml/Float16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(Float16, EveryHalfRoundTripsThroughFloat) {
    for (std::uint32_t b = 0; b < 65536; ++b) {
        const float f = ml::Float16::toFloat(static_cast<std::uint16_t>(b));
        const std::uint16_t back = ml::Float16::fromFloat(f);
        if (std::isnan(f)) {
            EXPECT_EQ((back >> 10) & 31u, 31u);
            EXPECT_NE(back & 0x3ffu, 0u);
        } else {
            ASSERT_EQ(back, b) << "value " << f;
        }
    }
}

TEST(Float16, MidpointsRoundToEvenAndLargeValuesOverflow) {
    for (std::uint16_t b = 0; b < 0x7bff; ++b) {
        const double mid =
            (double(ml::Float16::toFloat(b)) + double(ml::Float16::toFloat(b + 1))) / 2;
        const float m = static_cast<float>(mid);
        if (double(m) != mid) continue;
        ASSERT_EQ(ml::Float16::fromFloat(m), (b & 1) ? b + 1 : b) << "between " << b;
    }
    EXPECT_EQ(ml::Float16::fromFloat(65504.f), 0x7bff);
    EXPECT_EQ(ml::Float16::fromFloat(65520.f), 0x7c00);
    EXPECT_EQ(ml::Float16::fromFloat(-1e9f), 0xfc00);
    EXPECT_EQ(ml::Float16::fromFloat(1e-8f), 0x0000);
}

TEST(Float16, BulkConversionsMatchScalar) {
    std::vector<float> in;
    for (int i = 0; i < 1003; ++i) in.push_back(std::sin(float(i)) * float(i) * 7.3f);
    std::vector<ml::Float16> half(in.size());
    std::vector<float> out(in.size());
    ml::convertToFloat16(in.data(), half.data(), in.size());
    ml::convertToFloat(half.data(), out.data(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(half[i].bits, ml::Float16::fromFloat(in[i]));
        EXPECT_EQ(out[i], ml::Float16::toFloat(half[i].bits));
    }
}

}  // namespace
