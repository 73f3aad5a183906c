#pragma once
// An owned, growable byte buffer for secret file contents. Released storage is
// zeroed (the bytes in use, then the whole capacity) before it is freed, also
// when the buffer grows into new storage.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorlin::input {

class SecretBuffer {
public:
    SecretBuffer() noexcept = default;
    explicit SecretBuffer(std::size_t capacity);
    SecretBuffer(SecretBuffer&& other) noexcept;
    SecretBuffer& operator=(SecretBuffer&& other) noexcept;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { release(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    // The unused capacity after the bytes in use; fill it, then commit.
    std::span<std::uint8_t> spare() noexcept { return {data_ + size_, capacity_ - size_}; }
    void commit(std::size_t count) noexcept { size_ += count; }

    // Moves the contents into storage of at least `capacity` bytes, wiping
    // and freeing the old storage.
    void reserve(std::size_t capacity);

    // Zeroes and frees everything now; the buffer is empty afterwards.
    void release() noexcept;

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorlin::input
