#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "templates/JSON.h"
#include "templates/PositionHint.h"
#include "templates/RenderLimits.h"
#include "templates/Unicode.h"
#include "templates/Value.h"

namespace templates {

// One scope of template variables. Scopes form a chain through their parents: a rendering's
// root, below it one scope per running loop, call block, caller body and macro call. A lookup
// walks towards the root and gives undefined when no scope has the name; a plain write binds in
// the scope itself. A root scope holds the global functions, written over any initial variable
// of the same name.
//
// A scope also carries the JSON policies that `tojson` follows (inherited from the parent unless
// set on the scope) and, shared by the whole chain, the rendering's limits and counters.
//
// Scopes are shared (several children may point at one parent) and are not synchronised: one
// rendering uses its scopes on one thread.
class Environment {
public:
    struct Policies {
        JSON::Serializer jsonSerializer = JSON::Serializer::standard();
        JSON::DumpsOptions jsonDumpsOptions;

        // standard serialiser, no ASCII escaping, keys in stored order: what chat templates
        // expect, and the default.
        static const Policies& chat();
        // HTML-safe serialiser, ASCII escaping and sorted keys.
        static const Policies& classic();
    };

    // What a root without policies of its own reports: a copy of chat().
    static const Policies& defaultPolicies();

    // The bindings of one scope, names compared by canonical equivalence (stored in canonical
    // form). Scopes are small, so a lookup compares names in a row; a scope past a few names (a
    // rendering's root, a caller's context) adds an index by name hash.
    class Variables {
    public:
        struct Entry {
            std::string name;
            Value value;
            std::uint64_t nameHash = 0;  // scopeNameHash(name)
        };

        Variables() noexcept : nameBits_(0) {}

        const Value* find(std::string_view name) const;
        Value* find(std::string_view name);
        void set(std::string_view name, Value value);
        // The position of the name's binding, bound to undefined first when absent. Positions
        // never change, so a caller that binds the same name over and over may keep it.
        std::size_t slot(std::string_view name);
        // slot() and set() for a name already in canonical form, with its scopeNameHash(): the
        // names of a tree carry theirs, so binding them hashes nothing.
        std::size_t slotCanonical(std::string_view canonicalName, std::uint64_t nameHash);
        void setCanonical(std::string_view canonicalName, std::uint64_t nameHash, Value value) {
            at(slotCanonical(canonicalName, nameHash)) = std::move(value);
        }
        // What a scope records of a set of names: one bit for each name hash, one for each
        // kind-test name. Worked out once for names bound over and over (a macro's parameters).
        struct NameSet {
            std::uint64_t nameBits = 0;
            std::uint16_t kindTestNames = 0;
        };
        // The form a scope stores a name in: the name itself when it is ASCII, else its
        // normalised text.
        static std::string canonicalName(std::string_view name);
        static NameSet nameSetOf(std::span<const std::string> canonicalNames,
                                 std::span<const std::uint64_t> nameHashes) noexcept;
        // Binds names, unique and in canonical form, with their scopeNameHash() and their
        // nameSetOf(), to undefined at positions 0, 1, ... of a scope with no bindings yet, as
        // slotCanonical() would one by one.
        void bindFresh(std::span<const std::string> canonicalNames,
                       std::span<const std::uint64_t> nameHashes, NameSet nameSet);
        Value& at(std::size_t position) { return entries_[position].value; }
        std::size_t size() const noexcept { return bound_; }
        bool empty() const noexcept { return bound_ == 0; }
        const Entry* begin() const noexcept { return entries_.data(); }
        const Entry* end() const noexcept { return entries_.data() + bound_; }
        void reserve(std::size_t count) {
            // Mostly a parked scope with room already: the check costs less than the call.
            if (count > entries_.capacity()) {
                entries_.reserve(count);
            }
            if (count > hashes_.capacity()) {
                hashes_.reserve(count);
            }
        }
        // The binding at `position` when it has this name, else null.
        const Value* boundAt(std::size_t position, std::string_view canonicalName,
                             std::uint64_t nameHash) const noexcept {
            if (position < bound_ && hashes_[position] == nameHash &&
                unicode::sameBytes(entries_[position].name, canonicalName)) {
                return &entries_[position].value;
            }
            return nullptr;
        }
        // Whether the scope may bind a name of this scopeNameHash(); false means it does not.
        bool mayHave(std::uint64_t nameHash) const noexcept {
            return (nameBits_ & scopeNameBit(nameHash)) != 0;
        }

    private:
        friend class Environment;
        // Past this many names a scope indexes them.
        static constexpr std::size_t indexThreshold = 8;
        // Past this many a scope keeps its storage to itself rather than have it parked.
        static constexpr std::size_t parkedThreshold = 24;
        std::ptrdiff_t indexOf(std::string_view canonicalName, std::uint64_t nameHash) const;
        // indexOf() of a scope without an index: from the newest binding back, since a scope's
        // names are unique and the names bound last (a template's macros and assignments, after
        // the root's globals and context) are the ones most looked up.
        std::ptrdiff_t searchBindings(std::string_view canonicalName,
                                      std::uint64_t nameHash) const noexcept {
            const std::uint64_t* hashes = hashes_.data();
            for (std::size_t i = hashes_.size(); i-- > 0;) {
                if (hashes[i] == nameHash && unicode::sameBytes(entries_[i].name, canonicalName)) {
                    return static_cast<std::ptrdiff_t>(i);
                }
            }
            return -1;
        }

        // The bindings are the first bound_ entries. The rest are spares a parked scope kept,
        // undefined, with the names they last had: a scope handed out again for the same macro
        // or loop binds the same names, which then cost no copy.
        std::vector<Entry> entries_;
        std::size_t bound_ = 0;
        // The entries' name hashes again, side by side, for a lookup to run through.
        std::vector<std::uint64_t> hashes_;
        // The scopeNameBit() of every bound name's hash.
        std::uint64_t nameBits_;
        // Which names of kind tests (`defined`, `string`, ...) the scope binds, one bit for each
        // in the order of kindTestNames: a function bound under such a name is called in place
        // of the test.
        std::uint16_t kindTestNames_ = 0;
        // Bindings by the hashes their names already carry: open addressing over a power of two
        // of slots, each 0 when free or a binding's position + 1, at most half of them taken.
        // Empty while the scope has at most indexThreshold names.
        static std::size_t indexStart(std::uint64_t nameHash, std::size_t mask) noexcept {
            return static_cast<std::size_t>(nameHash >> 24) & mask;  // well-mixed middle bits
        }
        // Gives the entry at `position`, a spare or a new one at the end, this name; a spare is
        // undefined already and keeps its text when the name is the same.
        void nameEntry(std::size_t position, std::string_view canonicalName,
                       std::uint64_t nameHash);
        void addToIndex(std::size_t position);
        void rebuildIndex();
        std::vector<std::uint32_t> index_;
    };

    // Counters of one rendering, shared by every scope of its chain.
    struct RenderState {
        RenderLimits limits;
        std::size_t callDepth = 0;
        // Where the outermost call in progress started on the stack.
        std::uintptr_t stackBase = 0;
        std::uint64_t steps = 0;
        // A macro printed by an output tag renders straight into the text that prints it, from
        // `macroTextStart` on; the limit on text applies to the macro's part alone, as it
        // would to a text of its own. Null when no macro renders in place.
        const std::string* macroText = nullptr;
        std::size_t macroTextStart = 0;
    };

    // A scope below `parent`, or a root when `parent` is null; a root also receives the global
    // functions and a fresh rendering state.
    explicit Environment(std::shared_ptr<Environment> parent = nullptr, Variables initial = {});
    static std::shared_ptr<Environment> make(std::shared_ptr<Environment> parent = nullptr,
                                             Variables initial = {});
    // An empty scope below `parent`, taken from the scopes recycle() parked on this thread when
    // there is one: a rendering makes a scope for every macro call and loop, and a parked one
    // comes with its storage.
    static std::shared_ptr<Environment> makeChild(const std::shared_ptr<Environment>& parent);
    // Parks a scope that has done its work for makeChild() to hand out again, when nothing else
    // holds it, strongly or weakly (see holdWeakly()); otherwise only drops the reference.
    static void recycle(std::shared_ptr<Environment>&& scope) noexcept;
    // A root for one rendering, as make(nullptr, initial) gives it, with the initial variables
    // bound by `bindInitial` (given room for `count` names). It is the root recycleRoot() parked
    // on this thread when there is one: a rendering then finds its storage, and its names, in
    // place.
    template <class BindInitial>
    static std::shared_ptr<Environment> makeRoot(std::size_t count, BindInitial&& bindInitial) {
        std::shared_ptr<Environment> root = takeParkedRoot();
        if (!root) {
            Variables initial;
            initial.reserve(count);
            bindInitial(initial);
            return make(nullptr, std::move(initial));
        }
        root->variables_.reserve(count);
        bindInitial(root->variables_);
        root->bindGlobals();
        return root;
    }
    // Parks a root from makeRoot() whose rendering is over, as recycle() does a child.
    static void recycleRoot(std::shared_ptr<Environment>&& root) noexcept;
    // Notes that a weak reference to this scope exists: a parked and reused scope would answer
    // it as a different scope, so such a scope is never parked.
    void holdWeakly() noexcept { weaklyHeld_ = true; }
    // Releases a chain of parents iteratively, so dropping a deep chain does not recurse.
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // The nearest binding of the name; undefined when no scope of the chain has it.
    const Value& operator[](std::string_view name) const;
    // The nearest binding, or null when no scope has the name.
    const Value* find(std::string_view name) const;
    // find() for a name already in canonical form, with its scopeNameHash(). Most names a
    // template reads are bound in the innermost scope, which is tried inline.
    const Value* findCanonical(std::string_view canonicalName, std::uint64_t nameHash) const {
        if (variables_.mayHave(nameHash) && variables_.index_.empty()) {
            if (const std::ptrdiff_t i = variables_.searchBindings(canonicalName, nameHash);
                i >= 0) {
                return &variables_.entries_[static_cast<std::size_t>(i)].value;
            }
            return parent_ ? parent_->findInChain(canonicalName, nameHash) : nullptr;
        }
        return findInChain(canonicalName, nameHash);
    }
    // findCanonical() for a name of a syntax tree, which remembers in `binding` where it found
    // the name: how many scopes up from this one, and the position there. A lookup by the same
    // name tries that binding first; it is the nearest one when none of the scopes on the way may
    // bind the name and the position there still holds it. A name not found is not remembered.
    const Value* findCanonical(std::string_view canonicalName, std::uint64_t nameHash,
                               const PositionHint& binding) const {
        const std::uint32_t remembered = binding.get();
        if (remembered != PositionHint::none) {
            const Environment* scope = this;
            for (std::uint32_t up = remembered >> bindingPositionBits; up != 0; --up) {
                if (scope->variables_.mayHave(nameHash) || !scope->parent_) {
                    return findRemembering(canonicalName, nameHash, binding);
                }
                scope = scope->parent_.get();
            }
            if (const Value* value = scope->variables_.boundAt(remembered & bindingPositionMask,
                                                               canonicalName, nameHash)) {
                return value;
            }
        }
        return findRemembering(canonicalName, nameHash, binding);
    }
    // Whether a scope of the chain binds the name of the kind test at `position` in
    // kindTestNames.
    bool chainBindsKindTestName(std::size_t position) const noexcept {
        const auto bit = static_cast<std::uint16_t>(1U << position);
        for (const Environment* scope = this; scope; scope = scope->parent_.get()) {
            if ((scope->variables_.kindTestNames_ & bit) != 0) {
                return true;
            }
        }
        return false;
    }
    // Binds in this scope only, replacing a binding of the same name here.
    void set(std::string_view name, Value value) { variables_.set(name, std::move(value)); }
    // Replaces the nearest binding; binds in the root when no scope has the name.
    void setInChain(std::string_view name, Value value);

    const Variables& variables() const noexcept { return variables_; }
    Variables& variables() noexcept { return variables_; }
    const std::shared_ptr<Environment>& parent() const noexcept { return parent_; }
    bool isRoot() const noexcept { return !parent_; }

    // This scope's own policies, else the nearest parent's, else defaultPolicies().
    const Policies& policies() const;
    void setPolicies(const Policies& policies);
    // The effective policies stored in this scope, to change one field here without touching
    // the parent's.
    Policies& ownPolicies();

    // The limits of the chain's rendering. Setting them on any scope sets them for the chain.
    const RenderLimits& limits() const noexcept { return state_->limits; }
    void setLimits(const RenderLimits& limits) { state_->limits = limits; }
    RenderState& renderState() noexcept { return *state_; }
    const RenderState& renderState() const noexcept { return *state_; }

    // Settable flags kept for callers; the whitespace options in effect are those of the
    // template.
    bool lstripBlocks = false;
    bool trimBlocks = false;

private:
    // The nearest binding of a name in canonical form, how many scopes up it is and its position
    // there; a null value when no scope has the name.
    struct Found {
        const Value* value = nullptr;
        std::uint32_t up = 0;
        std::uint32_t position = 0;
    };
    Found locate(std::string_view canonicalName, std::uint64_t nameHash) const;
    // Binds the global functions, over any binding of the same name.
    void bindGlobals();
    // Empties the scope's bindings, keeping their storage and names (see Variables).
    void clearForReuse() noexcept;
    static std::shared_ptr<Environment> takeParkedRoot() noexcept;
    // findCanonical() from this scope to the root.
    const Value* findInChain(std::string_view canonicalName, std::uint64_t nameHash) const;
    // findInChain() that remembers where it found the name in `binding`: the number of scopes
    // up in the high bits, the position in the low ones.
    [[gnu::noinline]] const Value* findRemembering(std::string_view canonicalName,
                                                   std::uint64_t nameHash,
                                                   const PositionHint& binding) const;
    static constexpr std::uint32_t bindingPositionBits = 24;
    static constexpr std::uint32_t bindingPositionMask = (1U << bindingPositionBits) - 1;

    std::shared_ptr<Environment> parent_;
    Variables variables_;
    std::optional<Policies> policyStorage_;
    // The root owns the rendering's state; every scope reaches it through state_, which a
    // scope's chain of parents keeps alive (a scope holds its parent, so the root outlives it).
    std::shared_ptr<RenderState> ownedState_;
    RenderState* state_ = nullptr;
    bool weaklyHeld_ = false;
};

}  // namespace templates
