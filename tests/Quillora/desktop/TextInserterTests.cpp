// Text insertion on a private X server: the receiver window gets the text through the clipboard
// and a synthetic Control+V, and the clipboard gets back what another client offered before.

#include <QBuffer>
#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "PrivateHome.h"
#include "Receiver.h"
#include "WaitFor.h"
#include "quillora/text/TextInserter.h"

// Xlib's macros clash with Qt's names: it comes after every Qt header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

namespace quillora {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PrivateHome;
using testing::processEvents;
using testing::Receiver;
using testing::waitFor;

// Another X client that owns the clipboard and offers fixed formats (target name -> bytes),
// served from a thread of its own until a third client takes the clipboard or it is destroyed.
class ForeignClipboard {
public:
    explicit ForeignClipboard(const std::map<std::string, std::string>& formats)
        : formats_(formats), display_(XOpenDisplay(nullptr)) {
        if (!display_) {
            throw std::runtime_error("ForeignClipboard: no X display");
        }
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
        clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
        targets_ = XInternAtom(display_, "TARGETS", False);
        XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
        XSync(display_, False);
        if (XGetSelectionOwner(display_, clipboard_) != window_) {
            throw std::runtime_error("ForeignClipboard: could not take the clipboard");
        }
        thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    }
    ~ForeignClipboard() {
        thread_.request_stop();
        thread_.join();
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
    ForeignClipboard(const ForeignClipboard&) = delete;
    ForeignClipboard& operator=(const ForeignClipboard&) = delete;

    unsigned long window() const { return window_; }
    bool lost() const { return lost_; }

private:
    void serve(std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (XPending(display_) == 0) {
                pollfd fd{ConnectionNumber(display_), POLLIN, 0};
                poll(&fd, 1, 20);
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == SelectionClear) {
                lost_ = true;
            } else if (event.type == SelectionRequest) {
                answer(event.xselectionrequest);
            }
        }
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = request.property != None ? request.property : request.target;
        if (request.target == targets_) {
            std::vector<Atom> atoms{targets_};
            for (const auto& [name, data] : formats_) {
                atoms.push_back(XInternAtom(display_, name.c_str(), False));
            }
            XChangeProperty(display_, request.requestor, reply.property, XA_ATOM, 32,
                            PropModeReplace, reinterpret_cast<unsigned char*>(atoms.data()),
                            static_cast<int>(atoms.size()));
        } else {
            char* name = XGetAtomName(display_, request.target);
            const auto format = formats_.find(name ? name : "");
            if (name) {
                XFree(name);
            }
            if (format == formats_.end()) {
                reply.property = None;
            } else {
                XChangeProperty(display_, request.requestor, reply.property, request.target, 8,
                                PropModeReplace,
                                reinterpret_cast<const unsigned char*>(format->second.data()),
                                static_cast<int>(format->second.size()));
            }
        }
        XSendEvent(display_, request.requestor, False, NoEventMask,
                   reinterpret_cast<XEvent*>(&reply));
        XFlush(display_);
    }

    std::map<std::string, std::string> formats_;
    Display* display_;
    Window window_ = 0;
    Atom clipboard_ = 0;
    Atom targets_ = 0;
    std::atomic<bool> lost_{false};
    std::jthread thread_;
};

unsigned long clipboardOwner() {
    Display* display = XOpenDisplay(nullptr);
    const Window owner = XGetSelectionOwner(display, XInternAtom(display, "CLIPBOARD", False));
    XCloseDisplay(display);
    return owner;
}

// What another client gets when it asks the clipboard for `target`, or nothing when the
// request fails. The event loop runs meanwhile: the owner may be this very process.
std::optional<std::string> readClipboard(const PrivateHome& home, const std::string& target) {
    const auto file = home.path() / "clipboard.out";
    std::filesystem::remove(file);
    ChildProcess reader(
        {"sh", "-c",
         "exec xclip -o -selection clipboard -t '" + target + "' > '" + file.string() + "'"});
    if (!waitFor([&] { return !reader.running(); }, 10s, processEvents) || reader.wait(0ms) != 0) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

std::string pngOfASmallPicture() {
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    image.setPixel(3, 2, qRgb(250, 10, 10));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

class TextInserterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(receiver_.takeFocus()); }

    PrivateHome home_;
    Receiver receiver_;
};

TEST_F(TextInserterTest, PastesIntoTheFocusedWindowAndPutsTheClipboardBack) {
    const std::string png = pngOfASmallPicture();
    ForeignClipboard before(std::map<std::string, std::string>{
        {"UTF8_STRING", "what the user copied"}, {"image/png", png}});

    // A restore far off, so that the marks are read while our text is still on the clipboard
    // however slowly this machine runs; letting go of the inserter restores at once.
    auto inserter = std::make_unique<TextInserter>(std::chrono::hours{1});
    inserter->insert(QStringLiteral("Dictated words."));
    EXPECT_TRUE(receiver_.waitForText("Dictated words.")) << receiver_.text().toStdString();
    EXPECT_TRUE(before.lost());
    // Clipboard managers are told not to keep it.
    EXPECT_EQ(readClipboard(home_, TextInserter::transientType), "");
    EXPECT_EQ(readClipboard(home_, TextInserter::passwordManagerHintType), "secret");
    EXPECT_TRUE(inserter->restorePending());
    inserter.reset();

    // Now this process serves both formats to the others.
    EXPECT_NE(clipboardOwner(), before.window());
    EXPECT_EQ(readClipboard(home_, "UTF8_STRING"), "what the user copied");
    EXPECT_EQ(readClipboard(home_, "image/png"), png);
    EXPECT_EQ(receiver_.text(), QStringLiteral("Dictated words."));
}

TEST_F(TextInserterTest, AnEmptyClipboardIsLeftEmpty) {
    ASSERT_EQ(clipboardOwner(), 0u);
    TextInserter inserter;
    inserter.insert(QStringLiteral("words"));
    EXPECT_TRUE(receiver_.waitForText("words"));
    EXPECT_NE(clipboardOwner(), 0u);
    EXPECT_TRUE(waitFor([&] { return !inserter.restorePending(); }, 10s, processEvents));
    EXPECT_EQ(clipboardOwner(), 0u);
}

// Two dictations within the delay: the second snapshot would be the first dictation's text. The
// delays below are long enough for a busy machine to get through the steps inside them.
TEST_F(TextInserterTest, ASecondPasteKeepsTheFirstSnapshot) {
    ForeignClipboard before(std::map<std::string, std::string>{{"UTF8_STRING", "the user's text"}});
    TextInserter inserter(5s);
    inserter.insert(QStringLiteral("first "));
    ASSERT_TRUE(receiver_.waitForText("first "));
    ASSERT_TRUE(inserter.restorePending());
    inserter.insert(QStringLiteral("second"));
    EXPECT_TRUE(receiver_.waitForText("first second")) << receiver_.text().toStdString();
    EXPECT_TRUE(waitFor([&] { return !inserter.restorePending(); }, 20s, processEvents));
    EXPECT_EQ(readClipboard(home_, "UTF8_STRING"), "the user's text");
}

// A copy made elsewhere during the delay is what the user wants on the clipboard now.
TEST_F(TextInserterTest, ACopyMadeMeanwhileIsLeftAlone) {
    ForeignClipboard before(std::map<std::string, std::string>{{"UTF8_STRING", "older text"}});
    TextInserter inserter(5s);
    inserter.insert(QStringLiteral("dictated"));
    ASSERT_TRUE(receiver_.waitForText("dictated"));
    const unsigned long ours = clipboardOwner();

    ChildProcess::Options input;
    input.standardInput = "copied meanwhile";
    ChildProcess copier({"xclip", "-selection", "clipboard", "-i", "-quiet"}, input);
    ASSERT_TRUE(waitFor([&] { return clipboardOwner() != ours; }, 10s, processEvents));
    ASSERT_TRUE(inserter.restorePending());
    EXPECT_TRUE(waitFor([&] { return !inserter.restorePending(); }, 20s, processEvents));
    EXPECT_EQ(readClipboard(home_, "UTF8_STRING"), "copied meanwhile");
}

}  // namespace
}  // namespace quillora
