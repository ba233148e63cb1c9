#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "vevidocore/SharedLibrary.h"

namespace vevidocore {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

// What the user reads when an optional library is missing or too old: which one, and why.
TEST(SharedLibraryTest, ErrorsNameTheLibraryAndTheMissingFunction) {
    try {
        SharedLibrary("libquillora-absent.so.7", "Absent");
        FAIL() << "opened a library that does not exist";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), AllOf(HasSubstr("cannot load the Absent library"),
                                        HasSubstr("libquillora-absent.so.7: ")));
    }

    const SharedLibrary c("libc.so.6", "C");
    decltype(&std::strlen) length = nullptr;
    c.resolve("strlen", length);
    EXPECT_EQ(length("four"), 4u);

    decltype(&std::strlen) missing = nullptr;
    try {
        c.resolve("quillora_no_such_function", missing);
        FAIL() << "resolved a function the library lacks";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the C library libc.so.6 lacks quillora_no_such_function");
    }
    EXPECT_EQ(missing, nullptr);
}

// A failed load is tried again by the next user (the library may have been installed since); a
// load that succeeded is never repeated.
TEST(SharedLibraryTest, LoadOnceRetriesAFailureButNotASuccess) {
    LoadOnce once;
    int runs = 0;
    const auto failing = [&] {
        ++runs;
        throw std::runtime_error("not there");
    };
    EXPECT_THROW(once(failing), std::runtime_error);
    EXPECT_THROW(once(failing), std::runtime_error);
    once([&] { ++runs; });
    once(failing);
    EXPECT_EQ(runs, 3);
}

}  // namespace
}  // namespace vevidocore
