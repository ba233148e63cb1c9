#include "input/X11KeyWatcher.h"

#include <QByteArray>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vevidocore/Logging.h>

#include "quillora/settings/KeyTable.h"

// Xlib's macros (None, KeyPress, Status, ...) clash with Qt's names: it comes last.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XI2.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace quillora::detail {

namespace {

constexpr uint16_t kCapsLock = 57;
constexpr int kGrabRetryMilliseconds = 20;

// Shown to the user; each says what to do.
QString waylandProblem() {
    return QStringLiteral(
        "Quillora can't watch the dictation key in a Wayland session: Wayland doesn't let one "
        "application see the keys typed into another. Choose an X11 session (such as \"GNOME on "
        "Xorg\") on the login screen, then start Quillora again.");
}

QString displayProblem(const QByteArray& display) {
    return QStringLiteral(
               "Quillora can't connect to the X display \"%1\". Start it from within a desktop "
               "session that runs X11.")
        .arg(QString::fromLocal8Bit(display));
}

QString xinputProblem() {
    return QStringLiteral(
        "The X server lacks the XInput 2.2 extension, which Quillora needs to watch the "
        "dictation key. Log in to an X11 session on a current Xorg server.");
}

QString xtestProblem() {
    return QStringLiteral(
        "The X server lacks the XTEST extension, which Quillora needs to type the dictation "
        "into other applications. Enable XTEST in the X server's configuration, or log in to an "
        "X11 session on a current Xorg server.");
}

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (type && std::strcmp(type, "wayland") == 0) || (wayland && *wayland);
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

struct DeviceInfoFree {
    void operator()(XIDeviceInfo* info) const { XIFreeDeviceInfo(info); }
};

struct XFreeDeleter {
    void operator()(unsigned char* data) const { XFree(data); }
};

// Wakes the thread out of poll() when the main thread hands it work.
class WakeUp {
public:
    WakeUp() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0) {
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        }
    }
    ~WakeUp() { close(fd_); }
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    int fd() const { return fd_; }
    void signal() const {
        uint64_t one = 1;
        [[maybe_unused]] auto written = write(fd_, &one, sizeof one);
    }
    void drain() const {
        uint64_t count = 0;
        [[maybe_unused]] auto read = ::read(fd_, &count, sizeof count);
    }

private:
    int fd_;
};

// Xlib's default error handler ends the process. Errors on a watcher's connection arrive on that
// watcher's thread (only it reads the connection) and are only logged; all others go on to the
// handler that was installed before ours (Qt's, or Xlib's default).
thread_local Display* ownDisplay = nullptr;
std::atomic<XErrorHandler> previousErrorHandler{nullptr};

int onXError(Display* display, XErrorEvent* error) {
    if (display == ownDisplay) {
        char text[256] = {};
        XGetErrorText(display, error->error_code, text, sizeof text);
        vevidocore::Logging::error("Key monitor: X error", text, "in request",
                                   static_cast<int>(error->request_code));
        return 0;
    }
    if (XErrorHandler previous = previousErrorHandler.load()) {
        return previous(display, error);
    }
    return 0;
}

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { previousErrorHandler = XSetErrorHandler(onXError); });
}

using EventMask = std::array<unsigned char, XIMaskLen(XI_LASTEVENT)>;

// Raw events keep coming to us while we hold a grab only when the grab asks for them; the
// device key-down tells us that a key was taken by the grab.
EventMask grabMask() {
    EventMask mask{};
    XISetMask(mask.data(), XI_RawKeyPress);
    XISetMask(mask.data(), XI_RawKeyRelease);
    XISetMask(mask.data(), XI_KeyPress);
    return mask;
}

// What the filter made of the last key-down of each X keycode, for the grabbed copy of it that
// follows its raw event; `resend` once a grab took a key that should have passed.
enum class PressVerdict : uint8_t { none, pass, swallow, resend };

}  // namespace

struct X11KeyWatcher::State {
    struct Command {
        enum class Kind { setHotkey, startCapture, cancelCapture } kind;
        Hotkey hotkey;
        uint64_t generation = 0;
    };

    State(DisplayHandle connection, int opcode, HotkeyFilter& keyFilter, Sink reportSink,
          uint64_t generation)
        : display(std::move(connection)),
          xiOpcode(opcode),
          root(DefaultRootWindow(display.get())),
          filter(keyFilter),
          sink(std::move(reportSink)),
          captureGeneration(generation) {
        lastPress.fill(PressVerdict::none);
    }

    void run(std::stop_token stop);
    void post(Command command);

    // On the thread:
    void selectEvents();
    void refreshDevices();
    bool isXTest(int device) const;
    void runCommands();
    void dispatch(XEvent& event);
    void handleRawKey(const XIRawEvent& raw, bool press);
    void handleGrabbedPress(const XIDeviceEvent& event);
    void resend(unsigned keycode);
    QString typedCharacters(unsigned keycode);
    void report(FilterOutcome::Action action, std::optional<Hotkey> captured = std::nullopt);
    void updateGrabs();
    bool wantsKeyboard() const;
    void grabKey(unsigned keycode);
    void ungrabKey(unsigned keycode);
    void releaseKeyboard();
    void releaseAll();

    DisplayHandle display;
    int xiOpcode;
    Window root;
    HotkeyFilter& filter;
    Sink sink;
    uint64_t captureGeneration;

    WakeUp wake;
    std::mutex mutex;
    std::vector<Command> commands;  // guarded by mutex

    int masterKeyboard = XIAllMasterDevices;
    std::vector<int> xtestDevices;
    uint64_t modifierFlags = 0;
    std::array<PressVerdict, 256> lastPress{};
    unsigned grabbedKey = 0;  // the ordinary dictation key's X keycode, 0 when none is grabbed
    bool keyboardGrabbed = false;

    std::jthread thread;  // last: stopped and joined before the rest goes
};

std::unique_ptr<X11KeyWatcher> X11KeyWatcher::open(HotkeyFilter& filter, Sink sink,
                                                   uint64_t captureGeneration, QString& problem) {
    if (isWaylandSession()) {
        problem = waylandProblem();
        return nullptr;
    }
    installErrorHandler();
    DisplayHandle display(XOpenDisplay(nullptr));
    if (!display) {
        problem = displayProblem(qgetenv("DISPLAY"));
        return nullptr;
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 2;
    if (!XQueryExtension(display.get(), "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(display.get(), &major, &minor) != Success || major < 2 ||
        (major == 2 && minor < 2)) {
        problem = xinputProblem();
        return nullptr;
    }
    int testMajor = 0;
    int testMinor = 0;
    if (!XTestQueryExtension(display.get(), &event, &error, &testMajor, &testMinor)) {
        problem = xtestProblem();
        return nullptr;
    }
    auto state = std::make_unique<State>(std::move(display), opcode, filter, std::move(sink),
                                         captureGeneration);
    // Watching and grabbing are in place when start() returns: a key pressed right after it
    // counts.
    ownDisplay = state->display.get();
    state->selectEvents();
    state->refreshDevices();
    state->updateGrabs();
    XSync(state->display.get(), False);
    ownDisplay = nullptr;
    State* running = state.get();
    state->thread = std::jthread([running](std::stop_token stop) { running->run(stop); });
    problem.clear();
    return std::make_unique<X11KeyWatcher>(std::move(state));
}

X11KeyWatcher::X11KeyWatcher(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11KeyWatcher::~X11KeyWatcher() {
    state_->thread.request_stop();
    state_->wake.signal();
    state_->thread.join();
}

void X11KeyWatcher::setHotkey(const Hotkey& hotkey) {
    state_->post({State::Command::Kind::setHotkey, hotkey, 0});
}

void X11KeyWatcher::startCapture(uint64_t generation) {
    state_->post({State::Command::Kind::startCapture, {}, generation});
}

void X11KeyWatcher::cancelCapture() {
    state_->post({State::Command::Kind::cancelCapture, {}, 0});
}

void X11KeyWatcher::State::post(Command command) {
    {
        std::lock_guard lock(mutex);
        commands.push_back(std::move(command));
    }
    wake.signal();
}

void X11KeyWatcher::State::run(std::stop_token stop) {
    Display* dpy = display.get();
    ownDisplay = dpy;
    pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    while (!stop.stop_requested()) {
        runCommands();
        // Only a count of zero from XPending makes sleeping on the socket safe: it flushes our
        // requests first, and the flush itself may read events off the socket into the
        // library's queue, where poll() would never see them.
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            dispatch(event);
        }
        // A keyboard grab fails while another client holds the keyboard (an open menu, say):
        // try again shortly rather than let the captured key reach that client.
        const int timeout = wantsKeyboard() && !keyboardGrabbed ? kGrabRetryMilliseconds : -1;
        const int ready = poll(fds, 2, timeout);
        if (ready == 0) {
            updateGrabs();
            continue;
        }
        if (ready < 0 && errno != EINTR) {
            vevidocore::Logging::error("Key monitor: poll failed:", std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN) {
            wake.drain();
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            vevidocore::Logging::error("Key monitor: the X server closed the connection");
            break;
        }
    }
    releaseAll();
    ownDisplay = nullptr;
}

void X11KeyWatcher::State::selectEvents() {
    EventMask keys{};
    XISetMask(keys.data(), XI_RawKeyPress);
    XISetMask(keys.data(), XI_RawKeyRelease);
    EventMask hierarchy{};
    XISetMask(hierarchy.data(), XI_HierarchyChanged);
    XIEventMask masks[2] = {
        {XIAllMasterDevices, static_cast<int>(keys.size()), keys.data()},
        {XIAllDevices, static_cast<int>(hierarchy.size()), hierarchy.data()},
    };
    XISelectEvents(display.get(), root, masks, 2);
}

// XTEST devices come and go with master devices; each master has its own.
void X11KeyWatcher::State::refreshDevices() {
    Display* dpy = display.get();
    xtestDevices.clear();
    // The keyboard our grabs act on: the one paired with our client pointer once the server has
    // chosen one, else the first master (the server's choice when it does).
    int clientPointer = 0;
    const bool hasClientPointer = XIGetClientPointer(dpy, 0, &clientPointer);
    int keyboard = -1;
    const Atom xtestProperty = XInternAtom(dpy, "XTEST Device", False);
    int count = 0;
    std::unique_ptr<XIDeviceInfo, DeviceInfoFree> devices(XIQueryDevice(dpy, XIAllDevices, &count));
    for (int i = 0; devices && i < count; ++i) {
        const XIDeviceInfo& device = devices.get()[i];
        if (device.use == XIMasterKeyboard &&
            (keyboard < 0 || (hasClientPointer && device.attachment == clientPointer))) {
            keyboard = device.deviceid;
        }
        if (device.use != XISlaveKeyboard && device.use != XIFloatingSlave) {
            continue;
        }
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* raw = nullptr;
        XIGetProperty(dpy, device.deviceid, xtestProperty, 0, 1, False, AnyPropertyType, &type,
                      &format, &items, &after, &raw);
        std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
        const bool flagged = data && items == 1 && format == 8 && data.get()[0] != 0;
        if (flagged || std::strstr(device.name, "XTEST")) {
            xtestDevices.push_back(device.deviceid);
        }
    }
    if (keyboard >= 0) {
        masterKeyboard = keyboard;
    }
}

bool X11KeyWatcher::State::isXTest(int device) const {
    for (int id : xtestDevices) {
        if (id == device) {
            return true;
        }
    }
    return false;
}

void X11KeyWatcher::State::runCommands() {
    std::vector<Command> pending;
    {
        std::lock_guard lock(mutex);
        pending.swap(commands);
    }
    if (pending.empty()) {
        return;
    }
    for (const Command& command : pending) {
        switch (command.kind) {
            case Command::Kind::setHotkey:
                if (filter.setHotkey(command.hotkey)) {
                    report(FilterOutcome::Action::interrupt);
                }
                break;
            case Command::Kind::startCapture:
                captureGeneration = command.generation;
                if (filter.startCapture()) {
                    report(FilterOutcome::Action::interrupt);
                }
                break;
            case Command::Kind::cancelCapture:
                filter.cancelCapture();
                break;
        }
    }
    updateGrabs();
}

void X11KeyWatcher::State::dispatch(XEvent& event) {
    Display* dpy = display.get();
    XGenericEventCookie& cookie = event.xcookie;
    if (cookie.type != GenericEvent || cookie.extension != xiOpcode ||
        !XGetEventData(dpy, &cookie)) {
        return;  // the grabs' core copies of key events, and nothing else we asked for
    }
    switch (cookie.evtype) {
        case XI_RawKeyPress:
        case XI_RawKeyRelease:
            handleRawKey(*static_cast<XIRawEvent*>(cookie.data), cookie.evtype == XI_RawKeyPress);
            break;
        case XI_KeyPress:
            handleGrabbedPress(*static_cast<XIDeviceEvent*>(cookie.data));
            break;
        case XI_HierarchyChanged:
            refreshDevices();
            break;
        default:
            break;
    }
    XFreeEventData(dpy, &cookie);
}

void X11KeyWatcher::State::handleRawKey(const XIRawEvent& raw, bool press) {
    if (raw.detail < 0 || raw.detail > 255) {
        return;
    }
    const auto x11Code = static_cast<unsigned>(raw.detail);
    if (isXTest(raw.sourceid)) {
        // Our own paste, and any other program's synthetic keys: they neither press nor
        // interrupt the dictation key.
        if (press) {
            lastPress[x11Code] = PressVerdict::none;
        }
        return;
    }

    if (!press && lastPress[x11Code] == PressVerdict::resend) {
        lastPress[x11Code] = PressVerdict::none;
        resend(x11Code);
    }

    const std::optional<uint16_t> code = keys::keyCodeForX11(x11Code);
    KeyEvent event;
    event.keyCode = code ? static_cast<int>(*code) : -1;
    const auto& masks = Hotkey::modifierMasks();
    const auto mask = code ? masks.find(*code) : masks.end();
    // As on the keyboards the settings' key codes come from, a modifier (and Caps Lock) reports
    // a change of the modifier flags rather than a key going down or up.
    if (mask != masks.end()) {
        event.type = KeyEventType::flagsChanged;
        modifierFlags = press ? (modifierFlags | mask->second) : (modifierFlags & ~mask->second);
    } else if (code == kCapsLock) {
        event.type = KeyEventType::flagsChanged;
    } else {
        event.type = press ? KeyEventType::keyDown : KeyEventType::keyUp;
    }
    event.flags = modifierFlags;
    if (event.type == KeyEventType::keyDown && filter.isCapturing()) {
        event.characters = typedCharacters(x11Code);
    }

    const FilterOutcome outcome = filter.handle(event);
    if (press) {
        const bool replayable = event.type == KeyEventType::keyDown && outcome.pass;
        lastPress[x11Code] = replayable ? PressVerdict::pass : PressVerdict::swallow;
    }
    if (outcome.action != FilterOutcome::Action::none) {
        report(outcome.action, outcome.captured);
    }
    updateGrabs();
}

// A key-down came to us through one of our grabs. When the filter let it pass (a key that
// interrupts a hold, a key after capture ended), the grab has outlived its purpose: let go of the
// keyboard, so what follows reaches the focused window, and send the key on once it is released.
// Sent while it is still down, the server would drop it as a second press of a key that is down.
void X11KeyWatcher::State::handleGrabbedPress(const XIDeviceEvent& event) {
    if (event.detail < 0 || event.detail > 255 || isXTest(event.sourceid)) {
        return;
    }
    const auto x11Code = static_cast<unsigned>(event.detail);
    if (lastPress[x11Code] != PressVerdict::pass) {
        return;
    }
    lastPress[x11Code] = PressVerdict::resend;
    releaseKeyboard();
}

void X11KeyWatcher::State::resend(unsigned keycode) {
    XTestFakeKeyEvent(display.get(), keycode, True, CurrentTime);
    XTestFakeKeyEvent(display.get(), keycode, False, CurrentTime);
}

namespace {

QString keysymText(KeySym sym) {
    if ((sym >= 0x20 && sym <= 0x7e) || (sym >= 0xa0 && sym <= 0xff)) {
        return QString(QChar(static_cast<char16_t>(sym)));
    }
    if ((sym & 0xff000000) == 0x01000000) {
        const auto ucs = static_cast<char32_t>(sym & 0x00ffffff);
        return QString::fromUcs4(&ucs, 1);
    }
    // The keypad's digits and operators carry their ASCII character in the low bits.
    if ((sym >= XK_KP_Multiply && sym <= XK_KP_9) || sym == XK_KP_Equal) {
        return QString(QChar(static_cast<char16_t>(sym & 0x7f)));
    }
    return {};
}

}  // namespace

// What the key types in the active layout without modifiers; for the keypad, what it types with
// Num Lock on.
QString X11KeyWatcher::State::typedCharacters(unsigned keycode) {
    Display* dpy = display.get();
    XkbStateRec state{};
    const int group = XkbGetState(dpy, XkbUseCoreKbd, &state) == Success ? state.group : 0;
    const KeySym base = XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(keycode), group, 0);
    QString text = keysymText(base);
    if (text.isEmpty() && IsKeypadKey(base)) {
        text = keysymText(XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(keycode), group, 1));
    }
    return text;
}

void X11KeyWatcher::State::report(FilterOutcome::Action action, std::optional<Hotkey> captured) {
    if (sink) {
        sink(WatcherReport{action, std::move(captured), captureGeneration});
    }
}

void X11KeyWatcher::State::updateGrabs() {
    unsigned wantedKey = 0;
    const uint16_t hotkey = filter.hotkey().keyCode;
    if (!Hotkey::modifierMasks().contains(hotkey)) {
        if (auto x11Code = keys::x11KeyCode(hotkey)) {
            wantedKey = *x11Code;
        }
    }
    if (wantedKey != grabbedKey) {
        if (grabbedKey) {
            ungrabKey(grabbedKey);
        }
        grabbedKey = 0;
        if (wantedKey) {
            grabKey(wantedKey);
        }
    }

    const bool wantKeyboard = wantsKeyboard();
    if (wantKeyboard && !keyboardGrabbed) {
        EventMask mask = grabMask();
        XIEventMask eventMask{masterKeyboard, static_cast<int>(mask.size()), mask.data()};
        const int status = XIGrabDevice(display.get(), masterKeyboard, root, CurrentTime, 0,
                                        XIGrabModeAsync, XIGrabModeAsync, False, &eventMask);
        keyboardGrabbed = status == GrabSuccess;
    } else if (!wantKeyboard && keyboardGrabbed) {
        releaseKeyboard();
    }
}

// Capture takes the whole keyboard; after it the grab stays until the captured key is released,
// so its key-up reaches nobody either.
bool X11KeyWatcher::State::wantsKeyboard() const {
    return filter.isCapturing() || (keyboardGrabbed && filter.swallowKeyUp());
}

void X11KeyWatcher::State::grabKey(unsigned keycode) {
    EventMask mask = grabMask();
    XIEventMask eventMask{masterKeyboard, static_cast<int>(mask.size()), mask.data()};
    XIGrabModifiers modifiers{static_cast<int>(XIAnyModifier), 0};
    const int failed =
        XIGrabKeycode(display.get(), masterKeyboard, static_cast<int>(keycode), root,
                      XIGrabModeAsync, XIGrabModeAsync, False, &eventMask, 1, &modifiers);
    if (failed != 0) {
        vevidocore::Logging::error("Key monitor: another application has grabbed X keycode",
                                   static_cast<int>(keycode),
                                   "; the dictation key also reaches the window in front");
    }
    grabbedKey = keycode;
}

void X11KeyWatcher::State::ungrabKey(unsigned keycode) {
    XIGrabModifiers modifiers{static_cast<int>(XIAnyModifier), 0};
    XIUngrabKeycode(display.get(), masterKeyboard, static_cast<int>(keycode), root, 1, &modifiers);
}

// Also ends the keyboard grab that a press of the grabbed dictation key started.
void X11KeyWatcher::State::releaseKeyboard() {
    XIUngrabDevice(display.get(), masterKeyboard, CurrentTime);
    keyboardGrabbed = false;
}

void X11KeyWatcher::State::releaseAll() {
    if (grabbedKey) {
        ungrabKey(grabbedKey);
        grabbedKey = 0;
    }
    releaseKeyboard();
    XSync(display.get(), False);
}

}  // namespace quillora::detail
