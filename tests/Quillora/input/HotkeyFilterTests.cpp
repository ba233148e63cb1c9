// The key monitor's decisions, one sequence of events per case: what each event reports and
// whether it passes on to the applications.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillora/input/HotkeyFilter.h"

namespace quillora {
namespace {

constexpr int kF8 = 100;
constexpr int kA = 0;
constexpr int kQ = 12;
constexpr int kEscape = 53;
constexpr int kCapsLock = 57;
constexpr int kLeftControl = 59;
constexpr int kLeftShift = 56;
constexpr int kLeftOption = 58;
constexpr int kRightOption = 61;
constexpr int kFn = 63;

struct Step {
    enum class Kind { event, setHotkey, startCapture, cancelCapture } kind = Kind::event;
    KeyEvent event;
    int hotkey = 0;
    // "<report>/<pass|swallow>" for events, "<report>" for the rest; "-" reports nothing.
    std::string expected;
};

Step down(int code, const char* characters, std::string expected) {
    return {Step::Kind::event,
            {KeyEventType::keyDown, code, 0, QString::fromUtf8(characters)},
            0,
            std::move(expected)};
}
Step down(int code, std::string expected) {
    return down(code, "", std::move(expected));
}
Step up(int code, std::string expected) {
    return {Step::Kind::event, {KeyEventType::keyUp, code, 0, {}}, 0, std::move(expected)};
}
Step flags(int code, uint64_t bits, std::string expected) {
    return {
        Step::Kind::event, {KeyEventType::flagsChanged, code, bits, {}}, 0, std::move(expected)};
}
Step setHotkey(int code, std::string expected) {
    return {Step::Kind::setHotkey, {}, code, std::move(expected)};
}
Step startCapture(std::string expected) {
    return {Step::Kind::startCapture, {}, 0, std::move(expected)};
}
Step cancelCapture() {
    return {Step::Kind::cancelCapture, {}, 0, "-"};
}

std::string describe(const FilterOutcome& outcome) {
    std::string text;
    switch (outcome.action) {
        case FilterOutcome::Action::none:
            text = "-";
            break;
        case FilterOutcome::Action::press:
            text = "press";
            break;
        case FilterOutcome::Action::release:
            text = "release";
            break;
        case FilterOutcome::Action::interrupt:
            text = "interrupt";
            break;
        case FilterOutcome::Action::capture:
            text = outcome.captured ? "capture " + outcome.captured->name.toStdString() + " " +
                                          std::to_string(outcome.captured->keyCode)
                                    : "capture nothing";
            break;
    }
    return text + (outcome.pass ? "/pass" : "/swallow");
}

Hotkey keyFor(int code) {
    return Hotkey::make(static_cast<uint16_t>(code), {});
}

struct Case {
    const char* name;
    int hotkey;
    std::vector<Step> steps;
};

TEST(HotkeyFilter, DecidesEveryEventOfASequence) {
    const std::vector<Case> cases{
        {"ordinary key held with auto-repeat: one press, all swallowed",
         kF8,
         {down(kF8, "press/swallow"), down(kF8, "-/swallow"), down(kF8, "-/swallow"),
          up(kF8, "release/swallow")}},
        {"ordinary key: a stray key-up is swallowed, other keys and modifiers pass",
         kF8,
         {up(kF8, "-/swallow"), down(kA, "-/pass"), up(kA, "-/pass"),
          flags(kLeftShift, 0x2, "-/pass")}},
        {"ordinary key: another key interrupts and passes; a modifier does not",
         kF8,
         {down(kF8, "press/swallow"), flags(kLeftShift, 0x2, "-/pass"), down(kA, "interrupt/pass"),
          up(kA, "-/pass"), up(kF8, "-/swallow")}},
        {"modifier key: a letter interrupts and passes, the later release reports nothing",
         kRightOption,
         {flags(kRightOption, 0x40, "press/pass"), down(kA, "interrupt/pass"), up(kA, "-/pass"),
          flags(kRightOption, 0x0, "-/pass")}},
        {"modifier key: another modifier during the hold does not interrupt",
         kRightOption,
         {flags(kRightOption, 0x40, "press/pass"), flags(kLeftShift, 0x42, "-/pass"),
          flags(kLeftShift, 0x40, "-/pass"), up(kA, "-/pass"),
          flags(kRightOption, 0x0, "release/pass")}},
        {"modifier key: only its own bit counts, with other modifiers down",
         kRightOption,
         {flags(kLeftControl, 0x1, "-/pass"), flags(kLeftOption, 0x21, "-/pass"),
          flags(kRightOption, 0x61, "press/pass"), flags(kRightOption, 0x61, "-/pass"),
          flags(kRightOption, 0x21, "release/pass"), flags(kRightOption, 0x21, "-/pass")}},
        {"fn / Globe is a modifier key",
         kFn,
         {flags(kFn, 0x800000, "press/pass"), flags(kFn, 0x0, "release/pass")}},
        {"capture: Escape cancels; its key-down and one key-up are swallowed",
         kF8,
         {startCapture("-"), down(kEscape, "capture nothing/swallow"), up(kEscape, "-/swallow"),
          up(kEscape, "-/pass"), down(kF8, "press/swallow")}},
        {"capture: Caps Lock and keys without a code leave it on; a letter ends it",
         kRightOption,
         {startCapture("-"), down(kCapsLock, "-/swallow"), flags(kCapsLock, 0x10000, "-/pass"),
          down(-1, "-/swallow"), down(70000, "-/swallow"), down(kQ, "q", "capture Q 12/swallow"),
          up(kQ, "-/swallow"), up(kQ, "-/pass")}},
        {"capture: a modifier going down becomes the key and passes",
         kF8,
         {startCapture("-"), flags(kLeftShift, 0x0, "-/pass"), up(kA, "-/pass"),
          flags(kRightOption, 0x40, "capture Right Option (⌥) 61/pass"),
          flags(kRightOption, 0x0, "-/pass")}},
        {"capture: the dictation key itself is captured, not pressed",
         kF8,
         {startCapture("-"), down(kF8, "capture F8 100/swallow"), up(kF8, "-/swallow")}},
        {"capture during a hold interrupts it first",
         kF8,
         {down(kF8, "press/swallow"), startCapture("interrupt"), up(kF8, "-/pass"),
          down(kA, "a", "capture A 0/swallow")}},
        {"cancelled capture: the next key is handled as usual",
         kF8,
         {startCapture("-"), cancelCapture(), down(kA, "-/pass"), down(kF8, "press/swallow")}},
        {"replacing the key during a hold interrupts, even with the same key",
         kRightOption,
         {flags(kRightOption, 0x40, "press/pass"), setHotkey(kF8, "interrupt"),
          flags(kRightOption, 0x0, "-/pass"), down(kF8, "press/swallow"),
          setHotkey(kF8, "interrupt"), up(kF8, "-/swallow"), setHotkey(kRightOption, "-")}},
        {"a key without a code never matches but interrupts a hold",
         kF8,
         {down(-1, "-/pass"), down(kF8, "press/swallow"), down(70000, "interrupt/pass")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HotkeyFilter filter;
        EXPECT_EQ(filter.hotkey(), Hotkey::defaultKey());
        EXPECT_FALSE(filter.setHotkey(keyFor(c.hotkey)));
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            std::string actual;
            switch (step.kind) {
                case Step::Kind::event:
                    actual = describe(filter.handle(step.event));
                    break;
                case Step::Kind::setHotkey:
                    actual = filter.setHotkey(keyFor(step.hotkey)) ? "interrupt" : "-";
                    break;
                case Step::Kind::startCapture:
                    actual = filter.startCapture() ? "interrupt" : "-";
                    break;
                case Step::Kind::cancelCapture:
                    filter.cancelCapture();
                    actual = "-";
                    break;
            }
            EXPECT_EQ(actual, step.expected) << "step " << i;
        }
    }
}

}  // namespace
}  // namespace quillora
