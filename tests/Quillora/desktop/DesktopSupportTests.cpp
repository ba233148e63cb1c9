// The desktop test servers themselves: a private display that a window can take the focus on
// and receive typed keys.

#include <gtest/gtest.h>

#include <cstdlib>

#include "ChildProcess.h"
#include "Receiver.h"

namespace quillora::testing {

TEST(DesktopSupport, ReceiverGetsKeysTypedOnThePrivateDisplay) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr);
    Receiver receiver;
    ASSERT_TRUE(receiver.takeFocus());
    auto typed = runProgram({"xdotool", "type", "--delay", "1", "hello"});
    ASSERT_EQ(typed.exitCode, 0);
    EXPECT_TRUE(receiver.waitForText("hello")) << receiver.text().toStdString();
    EXPECT_GE(receiver.keyPresses(), 5);
}

}  // namespace quillora::testing
