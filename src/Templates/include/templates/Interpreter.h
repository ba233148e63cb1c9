#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "templates/BuiltinFunction.h"
#include "templates/Environment.h"
#include "templates/Expression.h"
#include "templates/Macro.h"
#include "templates/Node.h"
#include "templates/RenderLimits.h"
#include "templates/Statement.h"
#include "templates/Value.h"

namespace templates {

// Executes parsed templates. Stateless: all state lives in the scopes and in the output text
// handed along. Every failure is a TemplateError (runtime) with a fixed message, except the
// errors of called functions, which pass through unchanged, and ControlFlow.
class Interpreter {
public:
    Interpreter() = delete;

    using Scope = std::shared_ptr<Environment>;

    // Renders the nodes in a new root holding a copy of the environment's own variables (its
    // parents are not consulted), with the global functions written over them and the
    // environment's effective policies and limits. Nothing the template assigns reaches the
    // given environment. Throws ControlFlow when break or continue runs outside any loop.
    static std::string interpret(const NodeList& nodes, const Scope& environment);

    // Appends the rendering of the nodes in the scope to `into`. On an error the text appended
    // so far stays. Throws ControlFlow when a break or continue is not consumed by a loop among
    // the nodes.
    static void interpret(const NodeList& nodes, const Scope& env, std::string& into);
    static void executeStatementWithOutput(const Statement& statement, const Scope& env,
                                           std::string& into);

    // Binds a value to an assignment target: a name (in the scope itself), a tuple of targets
    // (unpacking an array) or a member of an object variable (written back to the scope that
    // holds the variable).
    static void assign(const Expression& target, const Value& value, const Scope& env);

    static Value evaluateExpression(const Expression& expression, const Scope& env);
    // A test by name: a function-valued variable first, then the built-in tests.
    static bool evaluateTest(std::string_view name, const std::vector<Value>& args,
                             const Scope& env);
    static Value evaluateUnaryValue(Expression::UnaryOp op, const Value& operand);
    static Value evaluateBinaryValues(Expression::BinaryOp op, const Value& left,
                                      const Value& right, const RenderLimits& limits = {});
    // Subscript access; never fails (a missing key or index gives undefined).
    static Value evaluateComputedMember(const Value& receiver, const Value& key);

    // A filter by name: a function-valued variable first, then the built-in filters. `args`
    // starts with the filtered value.
    static Value applyFilter(std::string_view name, const std::vector<Value>& args,
                             const KeywordValues& kwargs, const Scope& env);

    // Calls a macro from the scope `env` of the call site; the result is the rendered body as a
    // string. Missing arguments take their defaults, or the call site's variable of that name;
    // extra positional values are ignored; any keyword becomes a variable of the body.
    static Value callMacro(const Macro& macro, const std::vector<Value>& arguments,
                           const KeywordValues& keywordArguments, const Scope& env);

    // The `loop` object of position `index` among `items`.
    static Value makeLoopObject(std::span<const Value> items, std::size_t index);
};

}  // namespace templates
