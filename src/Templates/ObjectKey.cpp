#include "templates/ObjectKey.h"

#include "NumberText.h"
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

int ObjectKey::compare(const ObjectKey& other, bool caseInsensitive) const {
    if (isInt() != other.isInt()) {
        return isInt() ? -1 : 1;
    }
    if (isInt()) {
        return asInt() < other.asInt() ? -1 : (asInt() > other.asInt() ? 1 : 0);
    }
    return caseInsensitive ? unicode::caseInsensitiveCompare(asString(), other.asString())
                           : unicode::compare(asString(), other.asString());
}

std::string ObjectKey::description() const {
    std::string out;
    appendDescription(out);
    return out;
}

void ObjectKey::appendDescription(std::string& out) const {
    if (isInt()) {
        numbertext::appendInt(out, asInt());
    } else {
        out.push_back('\'');
        out.append(asString());
        out.push_back('\'');
    }
}

std::string ObjectKey::stringValue() const {
    return isInt() ? std::to_string(asInt()) : asString();
}

std::optional<std::int64_t> ObjectKey::intValue() const {
    if (isInt()) {
        return asInt();
    }
    return std::nullopt;
}

}  // namespace templates
