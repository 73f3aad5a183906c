#pragma once
// Storage for secrets: wiped with sodium_memzero (a write the compiler cannot
// drop) when released and when replaced.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorlin {

void wipe(void* data, std::size_t size) noexcept;

// Whether the two spans hold the same bytes, in time that depends only on
// their length (for MACs and keys an attacker may be probing).
bool equal_in_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

template <std::size_t N>
class SecretArray {
public:
    SecretArray() noexcept { bytes_.fill(0); }
    explicit SecretArray(std::span<const std::uint8_t, N> source) noexcept { assign(source); }
    SecretArray(const SecretArray& other) noexcept : bytes_(other.bytes_) {}
    SecretArray& operator=(const SecretArray& other) noexcept {
        if (this != &other) assign(other.view());
        return *this;
    }
    ~SecretArray() { wipe(bytes_.data(), N); }

    void assign(std::span<const std::uint8_t, N> source) noexcept {
        wipe(bytes_.data(), N);
        for (std::size_t i = 0; i < N; ++i) bytes_[i] = source[i];
    }
    void clear() noexcept { wipe(bytes_.data(), N); }

    std::uint8_t* data() noexcept { return bytes_.data(); }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    static constexpr std::size_t size() noexcept { return N; }
    std::span<std::uint8_t, N> span() noexcept { return std::span<std::uint8_t, N>(bytes_); }
    std::span<const std::uint8_t, N> view() const noexcept { return std::span<const std::uint8_t, N>(bytes_); }

private:
    std::array<std::uint8_t, N> bytes_;
};

}  // namespace quorlin
