#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "LimitErrors.h"
#include "templates/ControlFlow.h"
#include "templates/Environment.h"
#include "templates/Expression.h"
#include "templates/Node.h"
#include "templates/Statement.h"

// The parts of the interpreter shared between its source files.
namespace templates::interpreter {

using Scope = std::shared_ptr<Environment>;

// How a block ended. break and continue travel back as this result on the normal path; they
// become a ControlFlow exception only where a body is rendered inside an expression (macro and
// caller bodies) or at the top of a rendering.
enum class Flow : std::uint8_t { normal, break_, continue_ };

Flow run(const NodeList& nodes, const Scope& env, std::string& out);
Flow execute(const Statement& statement, const Scope& env, std::string& out);
Flow executeFor(const Statement::For& loop, const Scope& env, std::string& out);

// Appends the printed form of an output tag's value, without building the value where that can
// be avoided.
void appendOutput(const Expression& expression, const Scope& env, std::string& out);

// Whether the expression's value is truthy, found without copying a value that is stored
// already (a condition needs only its truth).
bool isTruthy(const Expression& expression, const Scope& env);

// The value a loop iterates over, as Interpreter::evaluateExpression gives it.
Value evaluateIterable(const Expression& expression, const Scope& env);

// Calls a macro as Interpreter::callMacro does, appending the body's text to `out` instead of
// returning it; on a failure `out` is left as it was. The arguments are moved into the call.
void appendMacroCall(const Macro& macro, std::span<Value> arguments,
                     const KeywordValues& keywordArguments, const Scope& env, std::string& out);

// Renders in `root` as it is (the caller has set up its variables, policies and limits).
std::string renderRoot(const NodeList& nodes, const Scope& root);
// The loop object parked for the thread's next loop lets go of the items around its last
// position: they belong to a rendering's data, which the thread need not keep alive after it.
void releaseSpareLoopItems() noexcept;

// The nearest binding of a name of the tree, or null; `scopeHash` is the one its node carries.
inline const Value* findName(const Environment& env, std::string_view name,
                             std::uint64_t scopeHash) {
    return scopeHash != 0 ? env.findCanonical(name, scopeHash) : env.find(name);
}
// The nearest binding of an identifier of the tree, or null; tried first where it was found last.
inline const Value* findName(const Environment& env, const Expression::Identifier& identifier) {
    return identifier.scopeHash != 0
               ? env.findCanonical(identifier.name, identifier.scopeHash, identifier.binding)
               : env.find(identifier.name);
}

// Interpreter::applyFilter and evaluateTest for a name of the tree.
Value applyFilter(std::string_view name, std::uint64_t scopeHash, const std::vector<Value>& args,
                  const KeywordValues& kwargs, const Scope& env);
bool evaluateTest(std::string_view name, std::uint64_t scopeHash, const std::vector<Value>& args,
                  const Scope& env);

ControlFlow toControlFlow(Flow flow);
Flow toFlow(const ControlFlow& signal);

// Fails once the text outgrows the rendering's limit.
void checkLength(const std::string& text, const Environment& env);
// checkLength() inline for the common case, a text within the limit whatever part of it counts:
// it runs after every node.
inline void checkLengthInline(const std::string& text, const Environment& env) {
    if (text.size() > env.limits().maximumTextLength) [[unlikely]] {
        checkLength(text, env);
    }
}
// One loop iteration or call against the rendering's step budget.
void countStep(Environment& env);

// Holds one level of macro or caller call depth for its lifetime.
class CallDepth {
public:
    explicit CallDepth(Environment& env);
    ~CallDepth() { --state_.callDepth; }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;

private:
    Environment::RenderState& state_;
};

}  // namespace templates::interpreter
