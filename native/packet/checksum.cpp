#include "packet/checksum.hpp"

namespace quorlin {

void InternetChecksum::add(std::span<const std::uint8_t> data) noexcept {
    // Inputs are at most a few hundred kilobytes, so 64 bits never overflow.
    for (const std::uint8_t byte : data) {
        sum_ += odd_ ? byte : static_cast<std::uint64_t>(byte) << 8;
        odd_ = !odd_;
    }
}

std::uint16_t InternetChecksum::finish() const noexcept {
    std::uint64_t sum = sum_;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::uint16_t internet_checksum(std::span<const std::uint8_t> data) noexcept {
    InternetChecksum checksum;
    checksum.add(data);
    return checksum.finish();
}

}  // namespace quorlin
