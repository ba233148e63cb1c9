#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "vevidocore/ConcurrencyUtilities.h"
#include "vevidocore/ProcessInfo.h"

namespace vevidocore {
namespace {

TEST(ProcessInfoTest, ReadsSystemVariablesByName) {
    EXPECT_EQ(ProcessInfo::stringFromSysctl("kernel.ostype"), "Linux");
    // Unknown and malformed names and folders give the empty text, and no name reaches outside
    // /proc/sys.
    for (const char* name : {"no.such.variable", "", "kernel", ".kernel.ostype", "kernel..ostype",
                             "kernel.ostype.", "../../etc/passwd", "kernel/ostype", "..kernel"}) {
        EXPECT_EQ(ProcessInfo::stringFromSysctl(name), "") << name;
    }
}

TEST(ProcessInfoTest, HardwareReadingsAreAlwaysUsable) {
    for (const std::string* text : {&ProcessInfo::processor(), &ProcessInfo::vendor(),
                                    &ProcessInfo::family(), &ProcessInfo::hwModel()}) {
        EXPECT_FALSE(text->empty());
        EXPECT_EQ(text->find('\n'), std::string::npos);
    }
    EXPECT_THAT(ProcessInfo::cores(), ::testing::MatchesRegex("[1-9][0-9]*"));
    EXPECT_THAT(ProcessInfo::threads(), ::testing::MatchesRegex("[1-9][0-9]*"));
    EXPECT_LE(std::stoi(ProcessInfo::cores()), std::stoi(ProcessInfo::threads()));
    // Kept after the first reading.
    EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());
    EXPECT_EQ(ProcessInfo::hwModel(), ProcessInfo::stringFromSysctl("hw.model"));

    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
    EXPECT_LE(ConcurrencyUtilities::activeProcessorCount(), std::stoi(ProcessInfo::threads()));
}

}  // namespace
}  // namespace vevidocore
