#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "orderedcollections/OrderedDictionary.h"
#include "templates/Value.h"

namespace templates {

// The global functions every template reaches by name: each root scope receives these entries
// over any variable of the same name.
class Globals {
public:
    Globals() = delete;

    // Function values by name, built once on first use from the rows listed in Globals.cpp;
    // read-only afterwards.
    static const ordered::OrderedDictionary<std::string, Value>& builtIn();

    // Where `strftime_now` reads the current time. Replaceable so that renderings can be
    // reproduced; an empty function restores the system clock. Safe to call from any thread.
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    static void setClock(Clock clock);

    // A strftime format applied to a broken-down local time as the C locale writes it: %a %A %b
    // %B %c %d %H %I %j %m %M %p %S %U %w %W %x %X %y %Y %z %Z and %%; any other directive and a
    // lone trailing % are written as they stand.
    static std::string formatTime(std::string_view format, const std::tm& time);
};

}  // namespace templates
