#include "vevidocore/UUID.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace vevidocore {

namespace {

void fillRandom(UUID::Bytes& bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled == bytes.size()) {
        return;
    }
    // Without getrandom (an old kernel or a seccomp filter) the library's own source serves.
    std::random_device device;
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(device());
    }
}

}  // namespace

UUID UUID::random() {
    Bytes bytes;
    fillRandom(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[bytes_[i] >> 4]);
        text.push_back(digits[bytes_[i] & 0x0F]);
    }
    return text;
}

}  // namespace vevidocore

std::size_t std::hash<vevidocore::UUID>::operator()(const vevidocore::UUID& uuid) const noexcept {
    // Random identifiers are already well mixed; fold the two halves.
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        high = (high << 8) | uuid.bytes()[i];
        low = (low << 8) | uuid.bytes()[i + 8];
    }
    return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
