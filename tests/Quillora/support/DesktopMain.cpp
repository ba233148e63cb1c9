// Entry point of the desktop tests: every test process gets its own X server before Qt connects
// to it (ctest runs each test in a process of its own, so each test has a private display).

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "XvfbServer.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no server.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).starts_with("--gtest_list_tests")) {
            return RUN_ALL_TESTS();
        }
    }
    quillora::testing::XvfbServer display;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
