#include "templates/Environment.h"

#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "templates/Globals.h"
#include "templates/Unicode.h"

namespace templates {

namespace {

const Value& undefinedValue() {
    static const Value undefined = Value::undefined();
    return undefined;
}

// The form scopes store a name in: the name itself when it is ASCII, else its normalised text,
// kept in `storage`.
std::string_view inCanonicalForm(std::string_view name, std::string& storage) {
    if (unicode::isAscii(name)) {
        return name;
    }
    storage = unicode::normalized(name);
    return storage;
}

// The names of the kind tests as scopes hash them, and the bits those hashes take in a scope's
// set of names.
constexpr auto kindTestHashes = [] {
    std::array<std::uint64_t, std::size(kindTestNames)> hashes{};
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        hashes[i] = scopeNameHash(kindTestNames[i]);
    }
    return hashes;
}();
// A table of the kind tests by six bits of their hashes, from a shift at which no two of them
// share those bits: a name being bound finds the one test it may be in a single look.
constexpr unsigned kindTestShift = [] {
    for (unsigned shift = 0; shift <= 58; ++shift) {
        std::uint64_t taken = 0;
        bool apart = true;
        for (const std::uint64_t hash : kindTestHashes) {
            const std::uint64_t bit = std::uint64_t{1} << ((hash >> shift) & 63);
            apart = apart && (taken & bit) == 0;
            taken |= bit;
        }
        if (apart) {
            return shift;
        }
    }
    return 64U;
}();
static_assert(kindTestShift < 64, "the kind tests' hashes need a wider table");
constexpr auto kindTestsByBits = [] {
    std::array<std::int8_t, 64> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < kindTestHashes.size(); ++i) {
        table[(kindTestHashes[i] >> kindTestShift) & 63] = static_cast<std::int8_t>(i);
    }
    return table;
}();
static_assert(std::size(kindTestNames) <= 16);

// The bit of kindTestNames() for a name being bound, in canonical form: 0 for a name no kind
// test goes by.
[[gnu::hot]] std::uint16_t kindTestBit(std::string_view canonicalName, std::uint64_t nameHash) {
    const int i = kindTestsByBits[(nameHash >> kindTestShift) & 63];
    if (i < 0 || kindTestHashes[static_cast<std::size_t>(i)] != nameHash ||
        kindTestNames[i] != canonicalName) {
        return 0;
    }
    return static_cast<std::uint16_t>(1U << i);
}

}  // namespace

const Environment::Policies& Environment::Policies::chat() {
    static const Policies chat;
    return chat;
}

const Environment::Policies& Environment::Policies::classic() {
    static const Policies classic = [] {
        Policies p;
        p.jsonSerializer = JSON::Serializer::htmlSafe();
        p.jsonDumpsOptions.ensureASCII = true;
        p.jsonDumpsOptions.sortKeys = true;
        return p;
    }();
    return classic;
}

const Environment::Policies& Environment::defaultPolicies() {
    static const Policies defaults = Policies::chat();
    return defaults;
}

inline std::ptrdiff_t Environment::Variables::indexOf(std::string_view canonicalName,
                                                      std::uint64_t nameHash) const {
    if (!index_.empty()) {
        const std::size_t mask = index_.size() - 1;
        for (std::size_t at = indexStart(nameHash, mask);; at = (at + 1) & mask) {
            const std::uint32_t slot = index_[at];
            if (slot == 0) {
                return -1;
            }
            const std::size_t i = slot - 1;
            if (hashes_[i] == nameHash && unicode::sameBytes(entries_[i].name, canonicalName)) {
                return static_cast<std::ptrdiff_t>(i);
            }
        }
    }
    return searchBindings(canonicalName, nameHash);
}

void Environment::Variables::addToIndex(std::size_t position) {
    const std::size_t mask = index_.size() - 1;
    std::size_t at = indexStart(hashes_[position], mask);
    while (index_[at] != 0) {
        at = (at + 1) & mask;
    }
    index_[at] = static_cast<std::uint32_t>(position + 1);
}

void Environment::Variables::rebuildIndex() {
    std::size_t slots = 32;
    while (slots < 4 * bound_) {
        slots *= 2;
    }
    index_.assign(slots, 0);
    for (std::size_t k = 0; k < bound_; ++k) {
        addToIndex(k);
    }
}

const Value* Environment::Variables::find(std::string_view name) const {
    std::string storage;
    name = inCanonicalForm(name, storage);
    const std::uint64_t hash = scopeNameHash(name);
    const std::ptrdiff_t i = mayHave(hash) ? indexOf(name, hash) : -1;
    return i < 0 ? nullptr : &entries_[static_cast<std::size_t>(i)].value;
}

Value* Environment::Variables::find(std::string_view name) {
    return const_cast<Value*>(std::as_const(*this).find(name));
}

void Environment::Variables::set(std::string_view name, Value value) {
    at(slot(name)) = std::move(value);
}

[[gnu::hot]] std::size_t Environment::Variables::slot(std::string_view name) {
    std::string storage;
    name = inCanonicalForm(name, storage);
    return slotCanonical(name, scopeNameHash(name));
}

// Forced inline: the calls are few and hot, and the body is small.
[[gnu::always_inline]] inline void Environment::Variables::nameEntry(std::size_t position,
                                                                     std::string_view canonicalName,
                                                                     std::uint64_t nameHash) {
    if (position < entries_.size()) {
        Entry& spare = entries_[position];
        if (!unicode::sameBytes(spare.name, canonicalName)) {
            spare.name.assign(canonicalName);
        }
        spare.nameHash = nameHash;
    } else {
        entries_.push_back({std::string(canonicalName), Value::undefined(), nameHash});
    }
}

[[gnu::hot]] std::size_t Environment::Variables::slotCanonical(std::string_view name,
                                                               std::uint64_t hash) {
    const std::ptrdiff_t i = mayHave(hash) ? indexOf(name, hash) : -1;
    if (i >= 0) {
        return static_cast<std::size_t>(i);
    }
    if (bound_ >= std::numeric_limits<std::uint32_t>::max() - 1) {
        throw std::length_error("Too many variables in one scope");
    }
    hashes_.push_back(hash);
    try {
        nameEntry(bound_, name, hash);
    } catch (...) {
        hashes_.pop_back();
        throw;
    }
    const std::size_t position = bound_++;
    nameBits_ |= scopeNameBit(hash);
    kindTestNames_ |= kindTestBit(name, hash);
    if (index_.empty() ? bound_ > indexThreshold : 2 * bound_ > index_.size()) {
        try {
            rebuildIndex();
        } catch (...) {
            index_.clear();
            --bound_;
            hashes_.pop_back();
            throw;
        }
    } else if (!index_.empty()) {
        addToIndex(position);
    }
    return position;
}

std::string Environment::Variables::canonicalName(std::string_view name) {
    std::string storage;
    return std::string(inCanonicalForm(name, storage));
}

Environment::Variables::NameSet Environment::Variables::nameSetOf(
    std::span<const std::string> canonicalNames,
    std::span<const std::uint64_t> nameHashes) noexcept {
    NameSet set;
    for (std::size_t k = 0; k < canonicalNames.size(); ++k) {
        set.nameBits |= scopeNameBit(nameHashes[k]);
        set.kindTestNames |= kindTestBit(canonicalNames[k], nameHashes[k]);
    }
    return set;
}

[[gnu::hot]] void Environment::Variables::bindFresh(std::span<const std::string> canonicalNames,
                                                    std::span<const std::uint64_t> nameHashes,
                                                    NameSet nameSet) {
    const std::size_t count = canonicalNames.size();
    if (count >= std::numeric_limits<std::uint32_t>::max() - 1) {
        throw std::length_error("Too many variables in one scope");
    }
    // The entries first: past bound_ they are spares, whatever names they are given.
    entries_.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        nameEntry(k, canonicalNames[k], nameHashes[k]);
    }
    hashes_.assign(nameHashes.begin(), nameHashes.end());
    nameBits_ = nameSet.nameBits;
    kindTestNames_ = nameSet.kindTestNames;
    bound_ = count;
    if (bound_ > indexThreshold) {
        try {
            rebuildIndex();
        } catch (...) {
            index_.clear();
            bound_ = 0;
            hashes_.clear();
            nameBits_ = 0;
            kindTestNames_ = 0;
            throw;
        }
    }
}

Environment::Environment(std::shared_ptr<Environment> parent, Variables initial)
    : parent_(std::move(parent)), variables_(std::move(initial)) {
    if (parent_) {
        state_ = parent_->state_;
        return;
    }
    ownedState_ = std::make_shared<RenderState>();
    state_ = ownedState_.get();
    bindGlobals();
}

void Environment::bindGlobals() {
    const auto& globals = Globals::builtIn();
    // The globals' names in canonical form with their hashes, worked out once: every rendering
    // binds them all in its root.
    static const std::vector<std::pair<std::string, std::uint64_t>> canonicalNames = [&] {
        std::vector<std::pair<std::string, std::uint64_t>> names;
        for (const auto& [name, value] : globals) {
            std::string storage;
            const std::string canonical(inCanonicalForm(name, storage));
            names.emplace_back(canonical, scopeNameHash(canonical));
        }
        return names;
    }();
    variables_.reserve(variables_.size() + globals.size());
    std::size_t i = 0;
    for (const auto& [name, value] : globals) {
        const auto& [canonical, hash] = canonicalNames[i++];
        variables_.setCanonical(canonical, hash, value);
    }
}

std::shared_ptr<Environment> Environment::make(std::shared_ptr<Environment> parent,
                                               Variables initial) {
    return std::make_shared<Environment>(std::move(parent), std::move(initial));
}

namespace {

// Scopes parked by recycle(), per thread: scopes are not synchronised, and one rendering runs
// on one thread. Bounded, as deep as the scopes a typical rendering has open at once.
struct ParkedScopes {
    static constexpr std::size_t capacity = 32;
    ParkedScopes() { scopes.reserve(capacity); }
    std::vector<std::shared_ptr<Environment>> scopes;
};

ParkedScopes& parkedScopes() {
    thread_local ParkedScopes parked;
    return parked;
}

// The root parked by recycleRoot() on this thread, or null.
std::shared_ptr<Environment>& parkedRoot() {
    thread_local std::shared_ptr<Environment> root;
    return root;
}

// Past this many names a root keeps its storage to itself rather than have it parked.
constexpr std::size_t parkedRootThreshold = 64;

}  // namespace

std::shared_ptr<Environment> Environment::takeParkedRoot() noexcept {
    return std::move(parkedRoot());
}

void Environment::recycleRoot(std::shared_ptr<Environment>&& root) noexcept {
    std::shared_ptr<Environment> taken = std::move(root);
    if (!taken || taken.use_count() != 1 || taken->weaklyHeld_ || taken->parent_ ||
        !taken->ownedState_ || taken->ownedState_.use_count() != 1 ||
        taken->variables_.entries_.capacity() > parkedRootThreshold) {
        return;
    }
    taken->clearForReuse();
    *taken->ownedState_ = RenderState{};
    taken->state_ = taken->ownedState_.get();
    parkedRoot() = std::move(taken);
}

void Environment::clearForReuse() noexcept {
    // The bindings go first: releasing their values may run any destructor, and the scope is
    // not parked yet.
    for (std::size_t k = 0; k < variables_.bound_; ++k) {
        variables_.entries_[k].value.setUndefined();
    }
    variables_.bound_ = 0;
    variables_.hashes_.clear();
    variables_.nameBits_ = 0;
    variables_.kindTestNames_ = 0;
    variables_.index_.clear();
    policyStorage_.reset();
    lstripBlocks = false;
    trimBlocks = false;
}

[[gnu::hot]] std::shared_ptr<Environment> Environment::makeChild(
    const std::shared_ptr<Environment>& parent) {
    std::vector<std::shared_ptr<Environment>>& parked = parkedScopes().scopes;
    if (parked.empty()) {
        return make(parent);
    }
    std::shared_ptr<Environment> scope = std::move(parked.back());
    parked.pop_back();
    scope->parent_ = parent;
    scope->state_ = parent->state_;
    return scope;
}

[[gnu::hot]] void Environment::recycle(std::shared_ptr<Environment>&& scope) noexcept {
    std::shared_ptr<Environment> taken = std::move(scope);
    if (!taken || taken.use_count() != 1 || taken->weaklyHeld_ || !taken->parent_) {
        return;
    }
    // A scope grown large keeps its storage to itself, so that what a thread holds parked stays
    // small whatever the templates it rendered.
    if (taken->variables_.entries_.capacity() > Variables::parkedThreshold) {
        return;
    }
    ParkedScopes& parked = parkedScopes();
    if (parked.scopes.size() >= ParkedScopes::capacity) {
        return;
    }
    // Emptied as a new scope is, keeping the storage of its bindings.
    taken->clearForReuse();
    taken->parent_.reset();
    taken->state_ = nullptr;
    parked.scopes.push_back(std::move(taken));
}

Environment::~Environment() {
    std::shared_ptr<Environment> next = std::move(parent_);
    while (next && next.use_count() == 1) {
        // Detach the grandparent before the parent goes, so that the parent's destructor finds
        // nothing to release.
        std::shared_ptr<Environment> grandparent = std::move(next->parent_);
        next = std::move(grandparent);
    }
}

const Value* Environment::find(std::string_view name) const {
    // Canonicalised once for the whole walk.
    std::string storage;
    name = inCanonicalForm(name, storage);
    return findCanonical(name, scopeNameHash(name));
}

Environment::Found Environment::locate(std::string_view canonicalName,
                                       std::uint64_t nameHash) const {
    std::uint32_t up = 0;
    for (const Environment* scope = this; scope; scope = scope->parent_.get(), ++up) {
        if (!scope->variables_.mayHave(nameHash)) {
            continue;
        }
        const std::ptrdiff_t i = scope->variables_.indexOf(canonicalName, nameHash);
        if (i >= 0) {
            return {&scope->variables_.begin()[i].value, up, static_cast<std::uint32_t>(i)};
        }
    }
    return {};
}

const Value* Environment::findInChain(std::string_view canonicalName,
                                      std::uint64_t nameHash) const {
    return locate(canonicalName, nameHash).value;
}

const Value* Environment::findRemembering(std::string_view canonicalName, std::uint64_t nameHash,
                                          const PositionHint& binding) const {
    // Scopes up to this many above the one asked are remembered; a hint of all ones is `none`.
    constexpr std::uint32_t furthest = (PositionHint::none >> bindingPositionBits) - 1;
    const Found found = locate(canonicalName, nameHash);
    if (found.value && found.up <= furthest && found.position <= bindingPositionMask) {
        binding.set((found.up << bindingPositionBits) | found.position);
    }
    return found.value;
}

const Value& Environment::operator[](std::string_view name) const {
    const Value* value = find(name);
    return value ? *value : undefinedValue();
}

void Environment::setInChain(std::string_view name, Value value) {
    for (Environment* scope = this; scope; scope = scope->parent_.get()) {
        if (Value* bound = scope->variables_.find(name)) {
            *bound = std::move(value);
            return;
        }
        if (!scope->parent_) {
            scope->variables_.set(name, std::move(value));
            return;
        }
    }
}

const Environment::Policies& Environment::policies() const {
    for (const Environment* scope = this; scope; scope = scope->parent_.get()) {
        if (scope->policyStorage_) {
            return *scope->policyStorage_;
        }
    }
    return defaultPolicies();
}

void Environment::setPolicies(const Policies& policies) {
    policyStorage_ = policies;
}

Environment::Policies& Environment::ownPolicies() {
    if (!policyStorage_) {
        policyStorage_ = policies();
    }
    return *policyStorage_;
}

}  // namespace templates
