#include "quillora/settings/KeyTable.h"

#include <array>
#include <utility>

namespace quillora::keys {

namespace {

struct Entry {
    uint16_t keyCode;  // Apple virtual key code
    int evdev;         // linux/input-event-codes.h
};

// Keys a PC keyboard has under another name take the code macOS gives them: Backspace is Delete
// (51), Delete is Forward Delete (117), Insert is Help (114), the menu key is the contextual-menu
// key (110), Num Lock is the keypad's Clear (71), Alt is Option and the Windows keys are Command.
constexpr Entry kEntries[] = {
    // letters
    {0, 30},
    {11, 48},
    {8, 46},
    {2, 32},
    {14, 18},
    {3, 33},
    {5, 34},
    {4, 35},
    {34, 23},
    {38, 36},
    {40, 37},
    {37, 38},
    {46, 50},
    {45, 49},
    {31, 24},
    {35, 25},
    {12, 16},
    {15, 19},
    {1, 31},
    {17, 20},
    {32, 22},
    {9, 47},
    {13, 17},
    {7, 45},
    {16, 21},
    {6, 44},
    // digits
    {29, 11},
    {18, 2},
    {19, 3},
    {20, 4},
    {21, 5},
    {23, 6},
    {22, 7},
    {26, 8},
    {28, 9},
    {25, 10},
    // punctuation
    {27, 12},
    {24, 13},
    {33, 26},
    {30, 27},
    {41, 39},
    {39, 40},
    {50, 41},
    {42, 43},
    {43, 51},
    {47, 52},
    {44, 53},
    {10, 86},
    // editing and navigation
    {36, 28},
    {48, 15},
    {49, 57},
    {51, 14},
    {53, 1},
    {117, 111},
    {114, 110},
    {115, 102},
    {119, 107},
    {116, 104},
    {121, 109},
    {123, 105},
    {124, 106},
    {125, 108},
    {126, 103},
    {110, 127},
    // modifiers
    {59, 29},
    {62, 97},
    {56, 42},
    {60, 54},
    {55, 125},
    {54, 126},
    {58, 56},
    {61, 100},
    {63, 464},
    {57, 58},
    // function keys
    {122, 59},
    {120, 60},
    {99, 61},
    {118, 62},
    {96, 63},
    {97, 64},
    {98, 65},
    {100, 66},
    {101, 67},
    {109, 68},
    {103, 87},
    {111, 88},
    {105, 183},
    {107, 184},
    {113, 185},
    {106, 186},
    {64, 187},
    {79, 188},
    {80, 189},
    {90, 190},
    // keypad
    {82, 82},
    {83, 79},
    {84, 80},
    {85, 81},
    {86, 75},
    {87, 76},
    {88, 77},
    {89, 71},
    {91, 72},
    {92, 73},
    {65, 83},
    {67, 55},
    {69, 78},
    {75, 98},
    {78, 74},
    {81, 117},
    {76, 96},
    {71, 69},
    // volume
    {72, 115},
    {73, 114},
    {74, 113},
    // Japanese keyboards
    {93, 124},
    {94, 89},
    {95, 95},
    {102, 123},
    {104, 122},
};

constexpr int kNoCode = -1;
constexpr int kMaxEvdev = 512;
constexpr int kMaxKeyCode = 128;

struct Lookup {
    std::array<int, kMaxKeyCode> evdevOf{};
    std::array<int, kMaxEvdev> keyCodeOf{};

    Lookup() {
        evdevOf.fill(kNoCode);
        keyCodeOf.fill(kNoCode);
        for (const Entry& entry : kEntries) {
            evdevOf[entry.keyCode] = entry.evdev;
            keyCodeOf[entry.evdev] = entry.keyCode;
        }
    }
};

const Lookup& lookup() {
    static const Lookup table;
    return table;
}

constexpr unsigned kX11Offset = 8;
constexpr unsigned kX11Max = 255;

}  // namespace

std::optional<int> evdevCode(uint16_t keyCode) {
    if (keyCode >= kMaxKeyCode || lookup().evdevOf[keyCode] == kNoCode) {
        return std::nullopt;
    }
    return lookup().evdevOf[keyCode];
}

std::optional<uint16_t> keyCodeForEvdev(int evdevCode) {
    if (evdevCode < 0 || evdevCode >= kMaxEvdev || lookup().keyCodeOf[evdevCode] == kNoCode) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(lookup().keyCodeOf[evdevCode]);
}

std::optional<unsigned> x11KeyCode(uint16_t keyCode) {
    auto evdev = evdevCode(keyCode);
    if (!evdev || static_cast<unsigned>(*evdev) + kX11Offset > kX11Max) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*evdev) + kX11Offset;
}

std::optional<uint16_t> keyCodeForX11(unsigned x11KeyCode) {
    if (x11KeyCode < kX11Offset || x11KeyCode > kX11Max) {
        return std::nullopt;
    }
    return keyCodeForEvdev(static_cast<int>(x11KeyCode - kX11Offset));
}

}  // namespace quillora::keys
