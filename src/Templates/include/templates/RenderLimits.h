#pragma once

#include <cstddef>
#include <cstdint>

namespace templates {

// What one rendering may consume. Chat templates come from downloaded files, so a template must
// not be able to hang the program or exhaust its memory; each bound, when crossed, ends the
// rendering with a runtime error that names it. The defaults sit far above what real chat
// templates need.
struct RenderLimits {
    // Any text the rendering builds: the output, captured blocks and macro results, and the
    // results of concatenation and repetition. Counted in bytes of UTF-8.
    std::size_t maximumTextLength = std::size_t{64} << 20;
    // Any array the rendering builds by joining or generating elements (array "+", range()).
    std::size_t maximumArrayLength = std::size_t{1} << 22;
    // Macro and caller calls in progress at once.
    std::size_t maximumCallDepth = 100;
    // Bytes of stack that calls in progress may take, counted from the outermost call. Each call
    // may nest blocks and expressions as deep as the parser allows, so the call depth alone does
    // not bound the stack.
    std::size_t maximumStackUse = std::size_t{1} << 20;
    // Loop iterations plus macro and caller calls over the whole rendering; 0 means no bound.
    // A hostile template of empty nested loops reaches it within about a second.
    std::uint64_t maximumSteps = 10'000'000;

    friend bool operator==(const RenderLimits&, const RenderLimits&) = default;
};

}  // namespace templates
