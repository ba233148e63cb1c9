#include "templates/ObjectKey.h"

#include "templates/Unicode.h"

namespace templates {

void ObjectKey::hashInto(Hasher& hasher) const {
    hasher.combineWord(payload_.index());
    if (isString()) {
        unicode::combineText(hasher, asString());
    } else {
        hasher.combineWord(static_cast<std::uint64_t>(asInt()));
    }
}

std::size_t ObjectKey::hashValue() const {
    Hasher hasher;
    hashInto(hasher);
    return static_cast<std::size_t>(hasher.finalize());
}

bool operator==(const ObjectKey& a, const ObjectKey& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    return a.isString() ? unicode::canonicallyEquivalent(a.asString(), b.asString())
                        : a.asInt() == b.asInt();
}

}  // namespace templates
